// "vesk-index publish DIR": the maps, compressed, as deltas from the last
// few generations, and a signed manifest, for any web server to serve.
//
// Every file is written under a temporary name and renamed into place, the
// signature and then the manifest last, so a host reads either the old
// manifest or the new one.  One that reads the old one while the maps
// change under it finds their hashes wrong, changes nothing, and succeeds
// at its next poll.  The plain maps of earlier generations stay in DIR as
// NAME.GEN (hard links, no copies) for the deltas of later ones.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>

#include "codec.h"
#include "keys/keys_map.h"
#include "crypto.h"
#include "fetch_tool.h"
#include "manifest.h"

namespace vesk::fetch {

namespace {

struct Output {
  std::string path, temp;
};

struct Published {
  tool::Db db;  // of passwd or group; the keys map is judged by its own rules
  bool keys;
  std::string name, source;
  std::string data;
  MapEntry entry;
  std::vector<Output> outputs;  // renamed in this order
  std::string kept;             // where the published map is to be kept
};

struct Cleanup {
  std::vector<Output> *outputs;
  ~Cleanup() {
    for (Output &o : *outputs) tool::drop_temp(&o.temp);
  }
};

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The generations whose map `name` DIR keeps as NAME.GEN, in no order.
std::vector<uint64_t> kept_generations(const std::string &dir, const std::string &name) {
  std::vector<uint64_t> out;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return out;
  std::string prefix = name + ".";
  while (struct dirent *e = readdir(d)) {
    std::string entry = e->d_name;
    uint64_t g;
    if (entry.compare(0, prefix.size(), prefix) == 0 &&
        tool::parse_uint(entry.substr(prefix.size()), UINT64_MAX, &g))
      out.push_back(g);
  }
  closedir(d);
  return out;
}

// Reads the map, checks it as vesk-index check parses it, and by the part
// of the content policy that is the same on every host, and prepares
// every file of it for DIR.
int prepare(Published *p, const PublishOptions &o, const tool::PolicyCheck &policy,
            const Manifest *previous, uint64_t generation) {
  std::string error;
  if (!read_file(p->source, &p->data, &error)) {
    report(p->source, error);
    return kFailure;
  }
  std::string dir = o.dir + "/";
  Output plain{dir + p->name, ""};
  if (!write_temp(plain.path, p->data, &plain.temp, &error)) {
    report(o.dir, error);
    return kFailure;
  }
  p->outputs.push_back(plain);
  // The copy is what gets published: scan it, not the map that may change.
  // Refused records are problems: nothing is published.  Keys are judged
  // here only as lines (every host judges their users again).
  std::vector<tool::Problem> problems;
  uint64_t records = 0;
  if (p->keys) {
    keys::KeysRules rules;
    rules.allow_options = policy.policy.allow_options;
    keys::KeysScan scan;
    keys::scan_keys(p->data.data(), p->data.size(), rules, &scan);
    problems = std::move(scan.problems);
    records = scan.kept.size();
  } else {
    tool::MapFile file;
    tool::MapScan scan;
    scan.policy = &policy;
    if (!tool::scan_map(p->db, plain.temp, &file, &scan, &error)) {
      report(p->source, error);
      return kFailure;
    }
    problems = std::move(scan.problems);
    records = scan.records.size();
  }
  if (!problems.empty()) {
    for (size_t i = 0; i < problems.size() && i < 5; ++i)
      report(tool::at_line(p->source, problems[i].line), problems[i].text);
    report(p->source, std::to_string(problems.size()) +
                          " problem(s); nothing published (vesk-index check tells more)");
    return kRefused;
  }
  p->entry.name = p->name;
  p->entry.records = records;
  p->entry.plain = {p->data.size(), sha256_hex(p->data)};

  // The map now published becomes an older generation: it is kept as
  // NAME.GEN (a link made once everything else is ready), if it is what
  // the previous manifest says it is.
  std::string current = dir + p->name, previous_bytes;
  bool have_previous_bytes = false;
  if (previous != nullptr) {
    const MapEntry *e = previous->map(p->name);
    have_previous_bytes = e != nullptr && read_file(current, &previous_bytes, &error) &&
                          sha256_hex(previous_bytes) == e->plain.sha256;
    p->kept = current + "." + std::to_string(previous->generation);
    if (!have_previous_bytes || exists(p->kept)) p->kept.clear();
  }
  // Deltas from the newest `deltas` earlier generations kept.
  std::vector<uint64_t> from = kept_generations(o.dir, p->name);
  if (have_previous_bytes) from.push_back(previous->generation);
  std::sort(from.begin(), from.end(), std::greater<uint64_t>());
  from.erase(std::unique(from.begin(), from.end()), from.end());
  size_t made = 0;
  for (uint64_t g : from) {
    if (made >= o.deltas) break;
    if (g >= generation) continue;
    std::string reference;
    if (have_previous_bytes && g == previous->generation) {
      reference = previous_bytes;
    } else if (!read_file(current + "." + std::to_string(g), &reference, &error)) {
      if (errno == ENOENT) continue;
      report(o.dir, error);
      return kFailure;
    }
    std::string frame;
    Output out{dir + delta_name(p->name, g), ""};
    if (!compress(p->data, reference, o.level, &frame, &error) ||
        !write_temp(out.path, frame, &out.temp, &error)) {
      report(out.path, error);
      return kFailure;
    }
    p->entry.deltas.push_back({g, {frame.size(), sha256_hex(frame)}});
    p->outputs.insert(p->outputs.begin(), out);
    ++made;
  }
  std::string frame;
  Output zst{dir + zst_name(p->name), ""};
  if (!compress(p->data, "", o.level, &frame, &error) ||
      !write_temp(zst.path, frame, &zst.temp, &error)) {
    report(zst.path, error);
    return kFailure;
  }
  p->entry.zst = {frame.size(), sha256_hex(frame)};
  p->outputs.insert(p->outputs.end() - 1, zst);
  return kOk;
}

// Removes the files of generations no later publish makes a delta from (all
// but the newest `keep` kept), the deltas the manifest no longer offers,
// and what killed runs left.
void prune(const std::string &dir, const Manifest &m, unsigned keep) {
  std::vector<std::pair<std::string, uint64_t>> old;  // map, generation to remove
  for (const MapEntry &map : m.maps) {
    std::vector<uint64_t> kept = kept_generations(dir, map.name);
    std::sort(kept.begin(), kept.end(), std::greater<uint64_t>());
    for (size_t i = keep; i < kept.size(); ++i) old.push_back({map.name, kept[i]});
  }
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> doomed;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    for (const MapEntry &map : m.maps) {
      std::string prefix = map.name + ".";
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      std::string rest = name.substr(prefix.size());
      uint64_t g;
      bool is_delta = rest.size() > 9 && rest.compare(0, 5, "from-") == 0 &&
                      rest.compare(rest.size() - 4, 4, ".zst") == 0;
      if (is_delta && tool::parse_uint(rest.substr(5, rest.size() - 9), UINT64_MAX, &g) &&
          map.delta_from(g) == nullptr)
        doomed.push_back(name);
      if (!is_delta && tool::parse_uint(rest, UINT64_MAX, &g) &&
          std::find(old.begin(), old.end(), std::make_pair(map.name, g)) != old.end())
        doomed.push_back(name);
    }
    for (const char *stem : {".passwd", ".group", ".keys", ".manifest"}) {
      size_t mark = name.find(".tmp-");
      if (name.compare(0, strlen(stem), stem) == 0 && mark != std::string::npos &&
          name.size() == mark + 11)
        doomed.push_back(name);
    }
  }
  for (const std::string &name : doomed) unlinkat(dirfd(d), name.c_str(), 0);
  closedir(d);
}

}  // namespace

int run_publish(const PublishOptions &o) {
  int lock_fd;
  std::string error;
  if (!lock_directory(o.dir, o.wait, &lock_fd, &error)) {
    report("publish", error);
    return kFailure;
  }
  struct LockGuard {
    int fd;
    ~LockGuard() { close(fd); }
  } guard{lock_fd};

  std::string manifest_path = o.dir + "/manifest", text;
  Manifest previous;
  bool have_previous = false;
  if (read_file(manifest_path, &text, &error)) {
    if (!parse_manifest(text, &previous, &error)) {
      report(manifest_path, error + "; its generation is unknown, so nothing is published "
                                    "(see \"Recovering the export\" in the fleet guide)");
      return kFailure;
    }
    have_previous = true;
  } else if (errno != ENOENT) {
    report("publish", error);
    return kFailure;
  }
  // A killed run's leftovers go first: they may be large.
  if (have_previous) prune(o.dir, previous, o.deltas);

  // Generations go forward even when DIR was lost: by default the time in
  // milliseconds, which no earlier publish can have passed unless the clock
  // went back, and then one more than the last.
  Manifest m;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  m.created = now.tv_sec;
  m.channel = o.channel;
  uint64_t after = have_previous ? previous.generation : 0;
  if (o.generation != 0) {
    if (o.generation <= after) {
      report("publish", "--generation " + std::to_string(o.generation) +
                            " is not later than the published " + std::to_string(after) +
                            "; nothing published");
      return kFailure;
    }
    m.generation = o.generation;
  } else {
    m.generation = std::max(after + 1, static_cast<uint64_t>(now.tv_sec) * 1000 +
                                           static_cast<uint64_t>(now.tv_nsec) / 1000000);
  }
  if (!signing_key_id(o.key_file, &m.key, &error)) {
    report("publish", error);
    return kFailure;
  }
  // Local accounts differ from host to host: only the rest of the policy
  // (password fields, reserved ids, names) is applied here.
  tool::Policy shared = o.policy;
  shared.local_passwd = shared.local_group = "";
  tool::PolicyCheck policy;
  if (!tool::prepare_policy(shared, &policy, &error)) {
    report("publish", error);
    return kFailure;
  }
  std::vector<Published> maps = {{tool::Db::Passwd, false, "passwd", o.passwd_map, {}, {}, {}, {}},
                                 {tool::Db::Group, false, "group", o.group_map, {}, {}, {}, {}}};
  // A generation without the keys map leaves the hosts' keys as they are:
  // once published, the keys go on being published (an empty keys map
  // removes every key from the hosts).
  if (!o.keys_map.empty())
    maps.push_back({tool::Db::Passwd, true, kKeysName, o.keys_map, {}, {}, {}, {}});
  else if (have_previous && previous.map(kKeysName) != nullptr) {
    report("publish", "generation " + std::to_string(previous.generation) +
                          " carries the keys map, but there is none to publish: hosts would "
                          "keep the keys they have; nothing published (publish an empty keys "
                          "map to remove every key)");
    return kFailure;
  }
  std::vector<Output> all;
  Cleanup cleanup{&all};
  int status = kOk;
  for (Published &p : maps) {
    int s = prepare(&p, o, policy, have_previous ? &previous : nullptr, m.generation);
    all.insert(all.end(), p.outputs.begin(), p.outputs.end());
    status = tool::combine(status, s);
    m.maps.push_back(p.entry);
  }
  if (status != kOk) return status;

  std::string manifest = format_manifest(m), signature;
  Output sig{o.dir + "/manifest.sig", ""}, man{manifest_path, ""};
  if (!sign(o.key_file, manifest, &signature, &error) ||
      !write_temp(sig.path, signature, &sig.temp, &error) ||
      !write_temp(man.path, manifest, &man.temp, &error)) {
    report("publish", error);
    return kFailure;
  }
  // Servers derive their validators from the file's time (Last-Modified,
  // and nginx's ETag of time and size): a manifest that replaced another
  // within the same second, at the same size, would look unchanged to a
  // conditional GET.  So each one is later than the last, in whole seconds.
  struct stat old_st;
  if (stat(manifest_path.c_str(), &old_st) == 0 && old_st.st_mtime >= m.created) {
    struct timespec times[2] = {{old_st.st_mtime + 1, 0}, {old_st.st_mtime + 1, 0}};
    if (utimensat(AT_FDCWD, man.temp.c_str(), times, 0) != 0) {
      report(man.temp, std::string("can't set its time: ") + strerror(errno));
      return kFailure;
    }
  }
  all.push_back(sig);
  all.push_back(man);
  for (const Published &p : maps)
    if (!p.kept.empty() && link((o.dir + "/" + p.name).c_str(), p.kept.c_str()) != 0) {
      report(p.kept, std::string("can't keep the previous generation: ") + strerror(errno));
      return kFailure;
    }
  for (Output &out : all) {
    if (rename(out.temp.c_str(), out.path.c_str()) != 0) {
      report(out.path, std::string("can't rename into place: ") + strerror(errno));
      return kFailure;
    }
    tool::forget_temp(out.temp);
    out.temp.clear();
  }
  if (!tool::sync_directory(o.dir, &error)) {
    report("publish", error);
    return kFailure;
  }
  prune(o.dir, m, o.deltas > 0 ? o.deltas - 1 : 0);

  printf("published generation %llu in %s\n", static_cast<unsigned long long>(m.generation),
         o.dir.c_str());
  for (const MapEntry &e : m.maps) {
    std::string deltas;
    for (const Delta &d : e.deltas)
      deltas += (deltas.empty() ? ", deltas from " : ", ") + std::to_string(d.from) + " (" +
                std::to_string(d.blob.size) + " bytes)";
    printf("  %s: %llu records, %llu bytes, %llu compressed%s\n", e.name.c_str(),
           static_cast<unsigned long long>(e.records),
           static_cast<unsigned long long>(e.plain.size),
           static_cast<unsigned long long>(e.zst.size), deltas.c_str());
  }
  return kOk;
}

}  // namespace vesk::fetch
