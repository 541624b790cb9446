// "vesk-index fetch": installs the maps a published directory holds, when
// a manifest signed by the export's key vouches for them.
//
// The manifest is fetched with a conditional GET; "304 Not Modified" ends
// the run.  Otherwise its signature is checked, then its generation (newer
// than the installed one) and age (at most max_age), and each map that
// changed is rebuilt from a delta against the installed generation, or from
// the whole compressed map, or the plain map, and compared with the signed
// size and SHA-256.  Only bytes that match are written, beside the maps, and
// installed through vesk-index install.  Any failure leaves the maps, their
// indexes and the state as they were.
//
// The state directory holds the installed generation's manifest and
// signature, the exact bytes of its maps as published (the reference of the
// next delta: the installed maps may lack records the content policy left
// out), the manifest's HTTP validators, and the run record (state.h).
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "codec.h"
#include "crypto.h"
#include "fetch_tool.h"
#include "http.h"
#include "manifest.h"
#include "state.h"

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

  // Records the run and passes its status on.
  int finish(int status, const std::string &result, uint64_t generation) {
    if (status != kOk && status != kInstalledWithProblems) report("fetch", result);
    tool::UpdateRecord r;
    r.time = time(nullptr);
    r.success = status == kOk || status == kInstalledWithProblems;
    r.generation = r.success ? generation : installed_generation;
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

  bool expand(const std::string &name, const std::string &frame, const std::string &reference,
              const MapEntry &want, std::string *map, std::string *error) {
    if (!decompress(frame, reference, want.plain.size, map, error)) {
      *error = name + ": " + *error;
      return false;
    }
    if (sha256_hex(*map) != want.plain.sha256) {
      *error = name + ": the map it gives is not the one signed (SHA-256)";
      return false;
    }
    return true;
  }

  // The map `want` describes, by the cheapest way the manifest offers: a
  // delta from `reference` (the installed generation's bytes, when known),
  // the compressed map, the plain one.  *how says which was used.
  bool obtain(const MapEntry &want, const std::string *reference, std::string *map,
              std::string *how, std::string *error) {
    std::string frame;
    const Delta *d = reference != nullptr ? want.delta_from(installed_generation) : nullptr;
    if (d != nullptr) {
      std::string name = delta_name(want.name, d->from);
      if (download(name, d->blob, &frame, error) &&
          expand(name, frame, *reference, want, map, error)) {
        *how = "delta from generation " + std::to_string(d->from) + ", " +
               std::to_string(d->blob.size) + " bytes";
        return true;
      }
      report("fetch", *error + "; taking the whole map instead");
    }
    if (!want.zst.sha256.empty()) {
      std::string name = zst_name(want.name);
      if (download(name, want.zst, &frame, error) &&
          expand(name, frame, "", want, map, error)) {
        *how = "compressed, " + std::to_string(want.zst.size) + " bytes";
        return true;
      }
      report("fetch", *error + "; taking the plain map instead");
    }
    if (!download(want.name, want.plain, map, error)) return false;
    *how = "plain, " + std::to_string(want.plain.size) + " bytes";
    return true;
  }
};

struct Staged {
  std::string name, map_temp, reference_temp;
  std::string target;  // the map's path
  std::string map;     // the published bytes
  bool fetched = false;
  struct stat written {};  // the file written beside the map
  ~Staged() {
    tool::drop_temp(&map_temp);
    tool::drop_temp(&reference_temp);
  }
};

// Removes the files a killed run left: beside each map, and in the state
// directory.  Called with the state directory locked.
void remove_leftovers(const FetchOptions &o) {
  std::vector<std::string> places = {o.install.passwd_map + ".fetched",
                                     o.install.group_map + ".fetched"};
  for (const char *name : {"passwd", "group", "manifest", "manifest.sig", "http", "fetch.state"})
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
  if (response.status == 304) {
    // A mirror that stopped updating answers 304 for ever: the installed
    // manifest's age tells.
    if (too_old(installed))
      return run.finish(kFailure,
                        "the manifest is unchanged, but generation " + gen + " was made " +
                            format_utc(installed.created) +
                            ", longer ago than max_age: is the export or the mirror stuck?",
                        run.installed_generation);
    printf("generation %s is current\n", gen.c_str());
    return run.finish(kOk, "generation " + gen + " is current (not modified)",
                      run.installed_generation);
  }

  std::string manifest_text = std::move(response.body);
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
  if (!run.http.get(run.base + "/manifest.sig", kSignatureLimit, &response, &error))
    return run.finish(kFailure, error + "; nothing changed", run.installed_generation);
  std::string signature = std::move(response.body);
  if (!verify(o.public_key_file, manifest_text, signature, &error))
    return run.finish(kFailure, run.base + "/manifest: " + error + "; nothing changed",
                      run.installed_generation);
  Manifest m;
  if (!parse_manifest(manifest_text, &m, &error))
    return run.finish(kFailure, run.base + "/manifest: " + error + "; nothing changed",
                      run.installed_generation);
  std::string g = std::to_string(m.generation);
  if (!o.force && too_old(m))
    return run.finish(kFailure,
                      "generation " + g + " was made " + format_utc(m.created) +
                          ", longer ago than max_age: a stale or replayed mirror; nothing "
                          "changed (--force installs it)",
                      run.installed_generation);
  if (!o.force && have_installed && m.generation <= installed.generation) {
    if (manifest_text == installed_text) {
      // The same manifest, served anew (a copied directory, a new ETag).
      save_validators();
      printf("generation %s is current\n", gen.c_str());
      return run.finish(kOk, "generation " + gen + " is current", run.installed_generation);
    }
    return run.finish(kFailure,
                      "generation " + g + " is not newer than the installed " + gen +
                          ": a replayed or rolled-back mirror; nothing changed (--force "
                          "installs it)",
                      run.installed_generation);
  }

  // Each map that changed, rebuilt and checked, then written beside the
  // map and into the state directory.
  Staged staged[2];
  std::string how_all;
  tool::InstallOptions install = o.install;
  install.force = o.force;
  install.new_passwd.clear();
  install.new_group.clear();
  for (int i = 0; i < 2; ++i) {
    Staged &s = staged[i];
    s.name = i == 0 ? "passwd" : "group";
    const std::string &target = s.target = i == 0 ? install.passwd_map : install.group_map;
    const MapEntry &want = *m.map(s.name);
    const MapEntry *had = have_installed ? installed.map(s.name) : nullptr;
    if (had != nullptr && !o.force && want.plain.sha256 == had->plain.sha256) {
      how_all += ", " + s.name + " unchanged";
      continue;
    }
    // The reference is read only for a delta from it, and not hashed: a
    // wrong one gives a map that fails the signed hash.
    std::string reference;
    bool have_reference = had != nullptr && want.delta_from(run.installed_generation) != nullptr &&
                          read_file(run.state(s.name), &reference, &error);
    std::string how;
    if (!run.obtain(want, have_reference ? &reference : nullptr, &s.map, &how, &error))
      return run.finish(kFailure, error + "; nothing changed", run.installed_generation);
    how_all += ", " + s.name + " " + how;
    // Not flushed here: install flushes the new map before it renames it.
    if (!write_temp(target + ".fetched", s.map, &s.map_temp, &error, false))
      return run.finish(kFailure, error + "; nothing changed", run.installed_generation);
    (i == 0 ? install.new_passwd : install.new_group) = s.map_temp;
    (i == 0 ? install.new_passwd_label : install.new_group_label) =
        target + " (generation " + g + " as fetched)";
    s.fetched = true;
    if (stat(s.map_temp.c_str(), &s.written) != 0) s.written = {};
  }

  int status = kOk;
  if (!install.new_passwd.empty() || !install.new_group.empty()) {
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
  for (Staged &s : staged) {
    if (!s.fetched) continue;
    // The references are the published bytes.  Where the installed map
    // holds exactly those bytes (install left nothing out), a second name
    // for it serves: nothing rewrites a map in place, the next install
    // renames another over it.  Else they are written again.  Not flushed:
    // a reference a crash damaged fails the next delta's hash, and that run
    // takes the whole map.
    bool linked = false;
    {
      struct stat now;
      std::string installed;
      if (stat(s.target.c_str(), &now) == 0 && static_cast<size_t>(now.st_size) == s.map.size() &&
          read_file(s.target, &installed, &error) && installed == s.map) {
        s.reference_temp = run.state(s.name) + ".link";
        unlink(s.reference_temp.c_str());
        linked = link(s.target.c_str(), s.reference_temp.c_str()) == 0;
        if (!linked) s.reference_temp.clear();
      }
    }
    if (!linked && !write_temp(run.state(s.name), s.map, &s.reference_temp, &error, false))
      return run.finish(kFailure, "generation " + g + " installed, but " + error,
                        run.installed_generation);
    if (rename(s.reference_temp.c_str(), run.state(s.name).c_str()) != 0) {
      error = strerror(errno);
      return run.finish(kFailure, "generation " + g + " installed, but " + run.state(s.name) +
                                      " can't be replaced: " + error,
                        run.installed_generation);
    }
    tool::forget_temp(s.reference_temp);
    s.reference_temp.clear();
  }
  if (!tool::replace_file(run.state("manifest.sig"), signature, 0644, &error) ||
      !tool::replace_file(run.state("manifest"), manifest_text, 0644, &error))
    return run.finish(kFailure, "generation " + g + " installed, but " + error,
                      run.installed_generation);
  run.installed_generation = m.generation;
  gen = g;
  save_validators();
  std::string result = "installed generation " + g + how_all;
  printf("%s\n", result.c_str());
  return run.finish(status, result, m.generation);
}

}  // namespace vesk::fetch
