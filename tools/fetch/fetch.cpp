// "vesk-index fetch": installs the maps a published directory holds, when
// a manifest signed by the export's key vouches for them.
//
// The manifest is fetched with a conditional GET; "304 Not Modified" ends
// the run unless the installed files drifted (installed.cpp).  Otherwise
// its signature is checked against the trusted keys, then its channel, its
// sizes (at most max_map_size), its time (signed: at most max_age old, at
// most max_clock_skew ahead) and its generation (newer than the installed
// one), and each map that changed is rebuilt from a delta against the
// installed generation, or from the whole compressed map, or the plain map,
// straight into a file of the signed size beside the map, and compared
// with the signed SHA-256.  Only bytes that match are installed, as one
// set, through vesk-index install, whose guards and content policy always
// apply.  The keys map is one of them when the manifest lists it; a
// manifest without it leaves the host's keys map to install (which judges
// it again when the passwd map changes).  Any failure leaves the maps, their indexes and the state as they
// were.
//
// The state directory holds the installed generation's manifest and
// signature, the exact bytes of its maps as published (the reference of the
// next delta, and what a repair reinstalls: the installed maps may lack
// records the content policy left out), the installed files' record, the
// manifest's HTTP validators, and the run record (state.h).
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "codec.h"
#include "crypto.h"
#include "fetch_internal.h"
#include "http.h"
#include "manifest.h"
#include "config/state.h"

namespace vesk::fetch {

namespace {

constexpr size_t kSignatureLimit = 1024;

struct Validators {
  std::string url, etag, last_modified;
};

bool read_validators(const std::string &path, Validators *v) {
  std::string text, error;
  if (!tool::read_small_file(path, 4096, &text, &error)) return false;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start);
    start = nl + 1;
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    std::string key = line.substr(0, space), value = line.substr(space + 1);
    if (key == "url") v->url = value;
    if (key == "etag") v->etag = value;
    if (key == "last-modified") v->last_modified = value;
  }
  return true;
}

struct Run {
  const FetchOptions &o;
  std::string base;  // the URL without a trailing slash
  Http http;
  uint64_t installed_generation = 0;

  Run(const FetchOptions &options)
      : o(options), http(HttpOptions{options.timeout, options.tls_ca_file}) {
    base = o.url;
    while (!base.empty() && base.back() == '/') base.pop_back();
  }

  std::string state(const std::string &name) const { return o.state_dir + "/" + name; }

  // Records the run and passes its status on.  `made`: the signed creation
  // time of what is installed after it (0: unchanged).
  int finish(int status, const std::string &result, uint64_t generation, int64_t made = 0) {
    if (status != kOk && status != kInstalledWithProblems) report("fetch", result);
    tool::UpdateRecord r;
    r.time = time(nullptr);
    r.success = status == kOk || status == kInstalledWithProblems;
    r.generation = r.success ? generation : installed_generation;
    r.made = r.success ? made : 0;
    r.result = result;
    std::string error;
    if (!tool::write_update_record(o.state_dir, "fetch", r, &error))
      report("fetch", "can't record the run: " + error);
    return status;
  }

  // Downloads `name`, which the manifest says is `blob`.
  bool download(const std::string &name, const Blob &blob, std::string *data,
                std::string *error) {
    HttpResponse r;
    if (!http.get(base + "/" + name, blob.size, &r, error)) return false;
    if (r.body.size() != blob.size) {
      *error = name + ": " + std::to_string(r.body.size()) + " bytes, not the " +
               std::to_string(blob.size) + " signed";
      return false;
    }
    if (sha256_hex(r.body) != blob.sha256) {
      *error = name + ": its SHA-256 is not the one signed";
      return false;
    }
    *data = std::move(r.body);
    return true;
  }

  // The map `want` describes, written into *out (a new file of the signed
  // size beside `target`), by the cheapest way the manifest offers: a delta
  // from `reference` (the installed generation's bytes, when known), the
  // compressed map, the plain one.  *how says which was used.
  bool obtain(const MapEntry &want, const std::string &target, const MappedFile *reference,
              MappedFile *out, std::string *how, std::string *error) {
    if (!out->create(target + ".fetched", want.plain.size, error)) return false;
    std::string frame;
    auto expand = [&](const std::string &name, std::string_view ref) {
      if (!decompress_into(frame, ref, out->data, out->size, error)) {
        *error = name + ": " + *error;
        return false;
      }
      if (sha256_hex(out->view()) != want.plain.sha256) {
        *error = name + ": the map it gives is not the one signed (SHA-256)";
        return false;
      }
      return true;
    };
    const Delta *d = reference != nullptr ? want.delta_from(installed_generation) : nullptr;
    if (d != nullptr) {
      std::string name = delta_name(want.name, d->from);
      if (download(name, d->blob, &frame, error) && expand(name, reference->view())) {
        *how = "delta from generation " + std::to_string(d->from) + ", " +
               std::to_string(d->blob.size) + " bytes";
        return true;
      }
      report("fetch", *error + "; taking the whole map instead");
    }
    if (!want.zst.sha256.empty()) {
      std::string name = zst_name(want.name);
      if (download(name, want.zst, &frame, error) && expand(name, "")) {
        *how = "compressed, " + std::to_string(want.zst.size) + " bytes";
        return true;
      }
      report("fetch", *error + "; taking the plain map instead");
    }
    if (!download(want.name, want.plain, &frame, error)) return false;
    if (!frame.empty()) memcpy(out->data, frame.data(), frame.size());
    *how = "plain, " + std::to_string(want.plain.size) + " bytes";
    return true;
  }
};

// One map on its way in: the file install takes it from, and the published
// bytes' new name in the state directory (a second link to the fetched
// file, or a copy), renamed over the reference once installed.
struct Staged {
  std::string name, source;
  MappedFile fetched;
  std::string reference_temp;
  ~Staged() { tool::drop_temp(&reference_temp); }
};

// Keeps the fetched bytes as the state's next reference: a link to the
// fetched file where the state directory shares its file system, a copy
// elsewhere.  Not flushed: a reference a crash damaged fails the next
// delta's hash, and that run takes the whole map.
bool keep_reference(const std::string &final_path, Staged *s, std::string *error) {
  int fd = tool::create_temp(final_path, &s->reference_temp);
  if (fd >= 0) {
    close(fd);
    if (unlink(s->reference_temp.c_str()) == 0 &&
        link(s->fetched.path.c_str(), s->reference_temp.c_str()) == 0)
      return true;
    tool::drop_temp(&s->reference_temp);
  }
  return write_temp(final_path, s->fetched.view(), &s->reference_temp, error, false);
}

// Removes the files a killed run left: beside each map, and in the state
// directory.  Called with the state directory locked.
void remove_leftovers(const FetchOptions &o) {
  std::vector<std::string> places;
  for (const char *map : {kMapNames[0], kMapNames[1], kKeysName}) {
    places.push_back(target_of(o, map) + ".fetched");
    places.push_back(o.state_dir + "/" + map);
    // Left by earlier versions, which renamed a second link over the
    // reference: a rename between two links of one file removes neither.
    unlink((o.state_dir + "/" + map + ".link").c_str());
  }
  for (const char *name : {"manifest", "manifest.sig", "http", "fetch.state", "fetch.installed"})
    places.push_back(o.state_dir + "/" + name);
  for (const std::string &final_path : places) {
    std::string dir = tool::directory_of(final_path);
    std::string prefix = "." + tool::base_name(final_path) + ".tmp-";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) continue;
    while (struct dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
        unlinkat(dirfd(d), name.c_str(), 0);
    }
    closedir(d);
  }
}

void set_new_map(tool::InstallOptions *install, const std::string &map, const std::string &path,
                 const std::string &label) {
  if (map == kKeysName) {
    install->new_keys = path;
    install->new_keys_label = label;
    return;
  }
  (map == "passwd" ? install->new_passwd : install->new_group) = path;
  (map == "passwd" ? install->new_passwd_label : install->new_group_label) = label;
}

}  // namespace

int run_fetch(const FetchOptions &o) {
  Run run(o);
  std::string error;
  if (mkdir(o.state_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    report(o.state_dir, strerror(errno));
    return kFailure;
  }
  int lock_fd;
  if (!lock_directory(o.state_dir, o.install.wait, &lock_fd, &error)) {
    report("fetch", error);
    return kFailure;
  }
  struct LockGuard {
    int fd;
    ~LockGuard() { close(fd); }
  } guard{lock_fd};
  remove_leftovers(o);

  // What is installed, as the last successful fetch left it.
  Manifest installed;
  std::string installed_text;
  bool have_installed = false;
  if (read_file(run.state("manifest"), &installed_text, &error)) {
    if (!parse_manifest(installed_text, &installed, &error)) {
      if (!o.force)
        return run.finish(kFailure,
                          run.state("manifest") + ": " + error +
                              "; the installed generation is unknown (--force fetches anyway)",
                          0);
    } else {
      have_installed = true;
      run.installed_generation = installed.generation;
    }
  } else if (errno != ENOENT) {
    return run.finish(kFailure, error, 0);
  }
  // Whether the installed files are still what was installed.
  bool touched = false;
  std::string drift = have_installed ? find_drift(o, installed, &touched) : "";
  tool::InstalledRecord previous_record;
  {
    bool found;
    if (!tool::read_installed_record(o.state_dir, "fetch", &previous_record, &found, &error))
      previous_record = {};
  }

  Validators validators;
  bool conditional = have_installed && read_validators(run.state("http"), &validators) &&
                     validators.url == run.base && !o.force;
  HttpResponse response;
  if (!run.http.get(run.base + "/manifest", kManifestLimit, &response, &error,
                    conditional ? validators.etag : "",
                    conditional ? validators.last_modified : ""))
    return run.finish(kFailure, error + "; nothing changed", run.installed_generation);
  time_t now = time(nullptr);
  auto too_old = [&](const Manifest &m) { return now - m.created > o.max_age; };
  std::string gen = std::to_string(run.installed_generation);
  // The generation the run ends with, and where it comes from.
  Manifest m;
  std::string manifest_text, signature;
  bool from_server = response.status != 304;
  Validators fresh{run.base, response.etag, response.last_modified};
  // Remembered once the manifest is known good, for the next conditional GET.
  auto save_validators = [&] {
    std::string why;
    if (!tool::replace_file(run.state("http"),
                            "url " + fresh.url + "\netag " + fresh.etag + "\nlast-modified " +
                                fresh.last_modified + "\n",
                            0644, &why))
      report("fetch", why);
  };
  auto current = [&](const std::string &how) {
    if (touched && !record_installed(o, installed, &previous_record, &error))
      report("fetch", error);
    printf("generation %s is current\n", gen.c_str());
    return run.finish(kOk, "generation " + gen + " is current" + how, run.installed_generation,
                      installed.created);
  };
  if (!from_server) {
    // A mirror that stopped updating answers 304 for ever: the installed
    // manifest's signed time tells.
    if (too_old(installed))
      return run.finish(kFailure,
                        "the manifest is unchanged, but generation " + gen + " was made " +
                            format_utc(installed.created) +
                            ", longer ago than max_age: is the export or the mirror stuck?",
                        run.installed_generation);
    if (drift.empty()) return current(" (not modified)");
    m = installed;
    manifest_text = installed_text;
  } else {
    manifest_text = std::move(response.body);
    if (!run.http.get(run.base + "/manifest.sig", kSignatureLimit, &response, &error))
      return run.finish(kFailure, error + "; nothing changed", run.installed_generation);
    signature = std::move(response.body);
    std::string key;
    if (!verify(o.public_key_file, manifest_text, signature, &key, &error))
      return run.finish(kFailure, run.base + "/manifest: " + error + "; nothing changed",
                        run.installed_generation);
    if (!parse_manifest(manifest_text, &m, &error))
      return run.finish(kFailure, run.base + "/manifest: " + error + "; nothing changed",
                        run.installed_generation);
    std::string g = std::to_string(m.generation);
    std::string channel = m.channel.empty() ? kDefaultChannel : m.channel;
    std::string refusal;
    if (!m.key.empty() && m.key != key)
      refusal = "the manifest names key " + m.key + " but key " + key + " signed it";
    else if (channel != o.channel)
      refusal = "generation " + g + " is for channel " + channel + ", this host is on " +
                o.channel;
    else if (!within_limit(m, o.max_size, &error))
      refusal = "generation " + g + ": " + error;
    else if (m.created - now > o.max_skew)
      refusal = "generation " + g + " was made " + format_utc(m.created) +
                ", in the future (more than max_clock_skew ahead of this host's clock)";
    else if (!o.force && too_old(m))
      refusal = "generation " + g + " was made " + format_utc(m.created) +
                ", longer ago than max_age: a stale or replayed mirror; nothing changed "
                "(--force installs it)";
    if (refusal.empty() && !o.force && have_installed && m.generation <= installed.generation) {
      if (manifest_text != installed_text)
        refusal = "generation " + g + " is not newer than the installed " + gen +
                  ": a replayed or rolled-back mirror; nothing changed (--force installs it)";
      else if (drift.empty()) {
        // The same manifest, served anew (a copied directory, a new ETag).
        save_validators();
        return current("");
      }
    }
    if (!refusal.empty())
      return run.finish(kFailure, refusal + (refusal.find("nothing changed") == std::string::npos
                                                 ? "; nothing changed"
                                                 : ""),
                        run.installed_generation);
  }
  std::string g = std::to_string(m.generation);
  bool repair = !drift.empty() && m.generation == run.installed_generation;
  if (!drift.empty()) report("fetch", "drift: " + drift + " since generation " + gen +
                                          " was installed; installing generation " + g + " anew");

  // Each map that changed, rebuilt and checked beside the map; all of them
  // when the installed files drifted or --force is given.
  std::vector<std::unique_ptr<Staged>> staged;
  std::string how_all;
  tool::InstallOptions install = o.install;
  install.force = false;  // --force is about generations, never about content
  install.adopt = true;   // the maps written beside the maps are renamed into place
  install.new_passwd.clear();
  install.new_group.clear();
  install.new_keys.clear();
  for (const MapEntry &want : m.maps) {
    const MapEntry *had = have_installed ? installed.map(want.name) : nullptr;
    bool same = had != nullptr && want.plain.sha256 == had->plain.sha256;
    if (same && drift.empty() && !o.force) {
      how_all += ", " + want.name + " unchanged";
      continue;
    }
    std::string target = target_of(o, want.name);
    auto s = std::make_unique<Staged>();
    s->name = want.name;
    MappedFile reference;
    bool have_reference = had != nullptr && reference.open(run.state(want.name), &error);
    std::string how;
    if (same && have_reference && sha256_hex(reference.view()) == want.plain.sha256) {
      // The state holds these very bytes: install them again from there.
      if (!s->fetched.create(target + ".fetched", reference.size, &error))
        return run.finish(kFailure, error + "; nothing changed", run.installed_generation);
      if (reference.size > 0) memcpy(s->fetched.data, reference.data, reference.size);
      s->source = s->fetched.path;
      how = "from " + run.state(want.name);
    } else {
      if (!run.obtain(want, target, have_reference ? &reference : nullptr, &s->fetched, &how,
                      &error))
        return run.finish(kFailure, error + "; nothing changed", run.installed_generation);
      s->source = s->fetched.path;
      if (!keep_reference(run.state(want.name), s.get(), &error))
        return run.finish(kFailure, error + "; nothing changed", run.installed_generation);
    }
    s->fetched.unmap();
    how_all += ", " + want.name + " " + how;
    set_new_map(&install, want.name, s->source, target + " (generation " + g + " as fetched)");
    staged.push_back(std::move(s));
  }

  int status = kOk;
  if (!staged.empty()) {
    fflush(stdout);
    status = tool::run_install(install);
    if (status != kOk && status != kInstalledWithProblems)
      return run.finish(status == kRefused ? kRefused : kFailure,
                        "generation " + g + " not installed (vesk-index install " +
                            (status == kRefused ? "refused it" : "failed") + ")",
                        run.installed_generation);
  }
  // Installed: the state follows, the manifest last, as it names the
  // generation the references belong to.
  for (auto &s : staged) {
    if (s->reference_temp.empty()) continue;
    if (rename(s->reference_temp.c_str(), run.state(s->name).c_str()) != 0) {
      error = strerror(errno);
      return run.finish(kFailure, "generation " + g + " installed, but " + run.state(s->name) +
                                      " can't be replaced: " + error,
                        run.installed_generation);
    }
    tool::forget_temp(s->reference_temp);
    s->reference_temp.clear();
  }
  if (from_server && (!tool::replace_file(run.state("manifest.sig"), signature, 0644, &error) ||
                      !tool::replace_file(run.state("manifest"), manifest_text, 0644, &error)))
    return run.finish(kFailure, "generation " + g + " installed, but " + error,
                      run.installed_generation);
  run.installed_generation = m.generation;
  gen = g;
  if (!record_installed(o, m, &previous_record, &error))
    report("fetch", "can't record the files installed: " + error);
  if (from_server) save_validators();
  std::string result = (repair ? "reinstalled generation " : "installed generation ") + g + how_all;
  if (!drift.empty()) {
    result = "drift: " + drift + "; " + result;
    if (status == kOk) status = kInstalledWithProblems;
  }
  printf("%s\n", result.c_str());
  return run.finish(status, result, m.generation, m.created);
}

}  // namespace vesk::fetch
