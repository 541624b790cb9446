// "vesk-index status": for each map its records, size, age and whether its
// indexes are usable; the generation installed and the last fetch or sync.
#include "commands/status.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "commands/check.h"
#include "config/state.h"
#include "keys/keys_commands.h"

namespace vesk::tool {

namespace {

struct MapStatus {
  const char *name = "";  // "passwd", "group"
  std::string path;
  bool readable = false;
  uint64_t records = 0, size = 0;
  int64_t age = 0;  // seconds since it was modified
  bool indexes_usable = false;
  std::string index_problem;  // the first thing wrong with an index
  size_t refused = 0;         // records the content policy refuses
  std::string error;          // why it can't be read
};

struct LastUpdate {
  std::string program;  // "fetch" or "sync"; empty: none recorded
  UpdateRecord record;
};

std::string utc(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  gmtime_r(&tt, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string duration(int64_t s) {
  if (s < 0) return "0s";
  char text[64];
  if (s < 120) snprintf(text, sizeof text, "%llds", static_cast<long long>(s));
  else if (s < 7200) snprintf(text, sizeof text, "%lldm", static_cast<long long>(s / 60));
  else if (s < 172800) snprintf(text, sizeof text, "%lldh", static_cast<long long>(s / 3600));
  else snprintf(text, sizeof text, "%lldd", static_cast<long long>(s / 86400));
  return text;
}

std::string json(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') out += '\\', out += static_cast<char>(c);
    else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else out += static_cast<char>(c);
  }
  return out + "\"";
}

void metric(const char *name, const char *type, const char *help) {
  printf("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

}  // namespace

int run_status(const StatusOptions &o) {
  time_t now = time(nullptr);
  std::vector<MapStatus> maps(2);
  maps[0].name = "passwd", maps[0].path = o.passwd_map;
  maps[1].name = "group", maps[1].path = o.group_map;
  // check's verdict, by the policy every command applies: each map is
  // read once, and its indexes are judged against what was read.
  CheckOptions check;
  check.passwd_map = o.passwd_map;
  check.group_map = o.group_map;
  check.policy = o.policy;
  CheckReport verdict;
  check_maps(check, &verdict);
  if (!verdict.error.empty()) {
    report("status", verdict.error);
    return kExitFailure;
  }
  for (int i = 0; i < 2; ++i) {
    MapStatus &m = maps[i];
    const MapVerdict &v = verdict.maps[i];
    m.error = v.error;
    if (!v.readable) continue;
    m.readable = true;
    m.records = v.records;
    m.size = v.map.size;
    m.age = now - v.map.st.st_mtime;
    m.refused = v.refused;
    m.indexes_usable = v.indexes_usable();
    for (const IndexVerdict &index : v.indexes)
      if (m.index_problem.empty()) m.index_problem = index.problem;
  }
  // The keys map, when there is one: its keys, and whether its index is
  // usable, as check judges them.
  keys::KeysHealth keys_health;
  if (!o.keys_map.empty()) {
    keys::check_keys(o.keys_map, o.policy, false, &keys_health);
    if (keys_health.present) {
      MapStatus m;
      m.name = "keys";
      m.path = o.keys_map;
      m.readable = keys_health.readable;
      m.records = keys_health.keys;
      m.indexes_usable = keys_health.index_usable;
      m.index_problem = keys_health.index_usable ? "" : keys_health.problem;
      m.error = keys_health.problem;
      struct stat st;
      if (stat(o.keys_map.c_str(), &st) == 0) m.size = static_cast<uint64_t>(st.st_size), m.age = now - st.st_mtime;
      maps.push_back(m);
    }
  }

  // The latest run of the programs that update the maps from elsewhere.
  LastUpdate last;
  int64_t last_success = 0, fresh = 0;
  std::string error;
  for (const char *program : {"fetch", "sync"}) {
    UpdateRecord r;
    bool found;
    if (!read_update_record(o.state_dir, program, &r, &found, &error)) {
      report("status", error);
      return kExitFailure;
    }
    if (!found) continue;
    last_success = std::max(last_success, r.last_success);
    if (r.last_success != 0) fresh = std::max(fresh, freshness(r));
    if (last.program.empty() || r.time > last.record.time) last = {program, r};
  }
  // Files that changed since fetch installed them: a local install, a
  // deleted map, an interrupted run.  The next fetch puts them right.
  std::vector<std::string> drift;
  {
    InstalledRecord installed;
    bool found;
    if (read_installed_record(o.state_dir, "fetch", &installed, &found, &error) && found)
      for (const InstalledFile &f : installed.files)
        if ((f.path == o.passwd_map || f.path == o.group_map ||
             f.path.compare(0, o.passwd_map.size() + 1, o.passwd_map + ".") == 0 ||
             f.path.compare(0, o.group_map.size() + 1, o.group_map + ".") == 0 ||
             (!o.keys_map.empty() &&
              (f.path == o.keys_map ||
               f.path.compare(0, o.keys_map.size() + 1, o.keys_map + ".") == 0))) &&
            !same_stat(f))
          drift.push_back(f.path);
  }

  std::vector<std::string> problems;
  for (const MapStatus &m : maps) {
    if (!m.readable) problems.push_back(m.path + ": " + m.error);
    else if (!m.indexes_usable) problems.push_back(m.index_problem);
    if (m.refused > 0)
      problems.push_back(m.path + ": serves " + std::to_string(m.refused) +
                         " record(s) the content policy refuses (vesk-index check names them)");
  }
  if (!last.program.empty()) {
    if (last_success == 0)
      problems.push_back("no " + last.program + " has succeeded yet");
    else if (now - fresh > o.max_age)
      problems.push_back(fresh != last_success
                             ? "stale: the maps installed were made at " + utc(fresh) +
                                   ", longer ago than max_age (" + duration(o.max_age) +
                                   "): is the export or the mirror stuck?"
                             : "stale: the last successful update was at " + utc(last_success) +
                                   ", longer ago than max_age (" + duration(o.max_age) + ")");
    if (!drift.empty())
      problems.push_back("drift: " + drift[0] +
                         (drift.size() > 1 ? " and " + std::to_string(drift.size() - 1) + " more" : "") +
                         " changed since fetch installed generation " +
                         std::to_string(last.record.generation) + " (the next fetch reinstalls it)");
  } else {
    for (const MapStatus &m : maps)
      if (m.readable && m.age > o.max_age)
        problems.push_back("stale: " + m.path + " was last changed " + duration(m.age) +
                           " ago, longer ago than max_age (" + duration(o.max_age) + ")");
  }
  bool healthy = problems.empty();

  if (o.format == StatusFormat::Text) {
    for (const MapStatus &m : maps) {
      if (!m.readable) {
        printf("%s: %s: can't be read: %s\n", m.name, m.path.c_str(), m.error.c_str());
        continue;
      }
      printf("%s: %s: %llu records, %llu bytes, changed %s; indexes %s\n", m.name,
             m.path.c_str(), static_cast<unsigned long long>(m.records),
             static_cast<unsigned long long>(m.size),
             m.age < 0 ? "in the future (check the clock)" : (duration(m.age) + " ago").c_str(),
             m.indexes_usable ? "fresh and usable" : "unusable (lookups scan the map)");
    }
    if (last.program.empty()) {
      printf("last update: none recorded in %s\n", o.state_dir.c_str());
    } else {
      const UpdateRecord &r = last.record;
      if (r.generation != 0)
        printf("generation: %llu\n", static_cast<unsigned long long>(r.generation));
      printf("last update: %s at %s (%s ago), %s: %s\n", last.program.c_str(),
             utc(r.time).c_str(), duration(now - r.time).c_str(),
             r.success ? "succeeded" : "failed", r.result.c_str());
      if (!r.success && last_success != 0)
        printf("last success: %s (%s ago)\n", utc(last_success).c_str(),
               duration(now - last_success).c_str());
    }
    printf("status: %s\n", healthy ? "healthy" : "unhealthy");
    for (const std::string &p : problems) printf("  %s\n", p.c_str());
  } else if (o.format == StatusFormat::Json) {
    printf("{\"healthy\": %s, \"maps\": [", healthy ? "true" : "false");
    for (size_t i = 0; i < maps.size(); ++i) {
      const MapStatus &m = maps[i];
      printf("%s{\"map\": \"%s\", \"path\": %s, \"readable\": %s", i ? ", " : "", m.name,
             json(m.path).c_str(), m.readable ? "true" : "false");
      if (m.readable)
        printf(", \"records\": %llu, \"size\": %llu, \"age_seconds\": %lld",
               static_cast<unsigned long long>(m.records),
               static_cast<unsigned long long>(m.size), static_cast<long long>(m.age));
      printf(", \"indexes_usable\": %s}", m.indexes_usable ? "true" : "false");
    }
    printf("]");
    if (!last.program.empty()) {
      const UpdateRecord &r = last.record;
      printf(", \"generation\": %llu, \"last_update\": {\"program\": \"%s\", \"time\": %lld, "
             "\"success\": %s, \"result\": %s, \"last_success\": %lld}",
             static_cast<unsigned long long>(r.generation), last.program.c_str(),
             static_cast<long long>(r.time), r.success ? "true" : "false", json(r.result).c_str(),
             static_cast<long long>(last_success));
    }
    printf(", \"problems\": [");
    for (size_t i = 0; i < problems.size(); ++i)
      printf("%s%s", i ? ", " : "", json(problems[i]).c_str());
    printf("]}\n");
  } else {
    // For node_exporter's textfile collector.
    metric("vesk_map_records", "gauge", "Records in the map.");
    for (const MapStatus &m : maps)
      if (m.readable)
        printf("vesk_map_records{map=\"%s\"} %llu\n", m.name,
               static_cast<unsigned long long>(m.records));
    metric("vesk_map_age_seconds", "gauge", "Seconds since the map was last changed.");
    for (const MapStatus &m : maps)
      if (m.readable) printf("vesk_map_age_seconds{map=\"%s\"} %lld\n", m.name,
                             static_cast<long long>(m.age));
    metric("vesk_index_usable", "gauge",
           "1 when lookups use the map's indexes, 0 when they scan the map.");
    for (const MapStatus &m : maps)
      printf("vesk_index_usable{map=\"%s\"} %d\n", m.name, m.indexes_usable ? 1 : 0);
    if (!last.program.empty()) {
      const UpdateRecord &r = last.record;
      metric("vesk_last_update_timestamp_seconds", "gauge",
             "When the last fetch or sync ran, in seconds since the epoch.");
      for (const MapStatus &m : maps)
        printf("vesk_last_update_timestamp_seconds{map=\"%s\"} %lld\n", m.name,
               static_cast<long long>(r.time));
      metric("vesk_last_update_success", "gauge",
             "1 when the last fetch or sync succeeded, else 0.");
      for (const MapStatus &m : maps)
        printf("vesk_last_update_success{map=\"%s\"} %d\n", m.name, r.success ? 1 : 0);
      if (fresh != 0) {
        metric("vesk_data_made_timestamp_seconds", "gauge",
               "When the source made the maps installed (fetch: the signed manifest's time).");
        printf("vesk_data_made_timestamp_seconds %lld\n", static_cast<long long>(fresh));
      }
      metric("vesk_drift", "gauge", "1 when installed files changed since fetch installed them.");
      printf("vesk_drift %d\n", drift.empty() ? 0 : 1);
      if (r.generation != 0) {
        metric("vesk_generation", "gauge", "The generation of the published maps installed.");
        for (const MapStatus &m : maps)
          printf("vesk_generation{map=\"%s\"} %llu\n", m.name,
                 static_cast<unsigned long long>(r.generation));
      }
    }
    metric("vesk_healthy", "gauge", "1 when vesk-index status finds the maps healthy, else 0.");
    printf("vesk_healthy %d\n", healthy ? 1 : 0);
  }
  return healthy ? kExitOk : kExitProblems;
}

}  // namespace vesk::tool
