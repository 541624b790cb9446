// vesk-index-sync: reads users and groups from an LDAP directory and writes
// the passwd and group maps from them, which then go in place through
// vesk-index install's own path (run_install): the same checks, content
// policy, guards, lock and summary.
//
// Everything a directory sends is hostile until checked: a value that
// would break a map line leaves its entry out, and any search that does
// not end in success fails the whole sync before a file is written.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"

namespace vesk::sync {

// ad: DN-valued members as rfc2307bis, with Active Directory's names.
enum class Schema { Rfc2307, Rfc2307bis, Ad };
enum class Bind { None, Simple, SaslExternal, SaslGssapi };

// The [ldap] section of the configuration.
struct Settings {
  std::vector<std::string> uris;  // tried in order
  std::vector<std::string> user_bases, group_bases;  // searched in order
  std::string user_filter = "(objectClass=posixAccount)";
  std::string group_filter = "(objectClass=posixGroup)";
  Schema schema = Schema::Rfc2307;
  Bind bind = Bind::None;
  std::string bind_dn, bind_password_file;
  std::string keytab, principal;  // bind = sasl_gssapi
  // Continuation references are left aside (and the domain-scope control
  // sent) rather than failing the sync.
  bool ignore_referrals = false;
  bool lowercase_names = false;
  char replace_blank = 0;  // 0: a blank in a name leaves its entry out
  // Ids from objectSid (and the primary group from primaryGroupID)
  // through the system's SID mapping library, instead of the id
  // attributes.
  bool id_mapping = false;
  uint32_t idmap_range_min = 200000, idmap_range_max = 2000200000, idmap_range_size = 200000;
  bool starttls = false;
  std::string tls_ca_file, tls_cert_file, tls_key_file;
  int timeout = 30;  // seconds: connecting, and each search request
  int page_size = 1000;
  std::string attr_name = "uid", attr_group_name = "cn";
  std::string attr_uid_number = "uidNumber", attr_gid_number = "gidNumber";
  std::string attr_gecos = "gecos";
  bool gecos_from_cn = true;  // attr_gecos not set: gecos, else cn
  std::string attr_home = "homeDirectory", attr_shell = "loginShell";
  std::string attr_member_uid = "memberUid", attr_member = "member";
  // DN-valued members (rfc2307bis and ad).
  bool member_dns() const { return schema != Schema::Rfc2307; }
  std::string default_shell, override_shell, home_template;
  // Accounts the directory marks as disabled (nsAccountLock: TRUE, or
  // userAccountControl with ACCOUNTDISABLE) are not exported, and no
  // group lists them.
  bool exclude_disabled = false;
  // The users' SSH public keys, for the keys map (one key per value).
  bool ssh_keys = false;
  std::string attr_ssh_key = "sshPublicKey";
};

// Fills *s from `config`'s [ldap] section.  False with *error set
// ("FILE:LINE: TEXT") on a missing, unknown or contradictory value.
bool load_settings(const tool::Config &config, Settings *s, std::string *error);

// Reads the bind password from `path`: a regular file that belongs to root
// or to the user running the sync (the same when it runs as a service)
// and that no one else may read or write.  One trailing newline is not
// part of the password; an empty password is refused (it would make the
// bind unauthenticated).
bool read_password(const std::string &path, std::string *password, std::string *error);
// The same checks of owner and mode for a keytab, which is read by the
// Kerberos library.
bool check_secret_file(const std::string &path, std::string *error);

// Kerberos credentials for bind = sasl_gssapi, from a keytab, in a
// credentials cache that lives in this process's memory alone: nothing is
// left behind when the run ends, however it ends.
class GssCredentials {
 public:
  GssCredentials();
  ~GssCredentials();
  GssCredentials(const GssCredentials &) = delete;
  GssCredentials &operator=(const GssCredentials &) = delete;
  // A ticket for `principal` (empty: the keytab's first principal) from
  // the keytab's keys, made the process's default credentials.  False
  // with *error naming the keytab, the principal and Kerberos's reason.
  bool acquire(const std::string &keytab, const std::string &principal, std::string *error);

 private:
  struct Impl;
  Impl *impl_;
};

// Maps objectSid values to ids as the system's SID mapping library does
// with the same range settings: each domain's range from its SID.
class IdMapper {
 public:
  explicit IdMapper(const Settings &s);
  ~IdMapper();
  IdMapper(const IdMapper &) = delete;
  IdMapper &operator=(const IdMapper &) = delete;
  // The id of a binary objectSid; with `rid` >= 0, of that RID in the
  // SID's domain instead (a primaryGroupID).  False with *error set.
  bool map(std::string_view sid, int64_t rid, uint32_t *id, std::string *error);
  // Whether a binary objectSid is in a domain (not a well-known or
  // built-in SID, which gets no id).
  bool in_domain(std::string_view sid);

 private:
  struct Impl;
  Impl *impl_;
};

// Blocks of memory with stable addresses, given back to the system as a
// whole: the records of a million users stay in a few large mappings
// rather than in as many heap blocks.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena &) = delete;
  Arena &operator=(const Arena &) = delete;
  ~Arena() { clear(); }
  char *allocate(size_t n);
  std::string_view copy(std::string_view text);
  void clear();

 private:
  struct Block {
    char *data;
    size_t size;
  };
  std::vector<Block> blocks_;
  char *next_ = nullptr;
  size_t left_ = 0;
};

// A map line without its newline; its first name_len bytes are the name.
struct Line {
  const char *text;
  uint32_t len;
  uint32_t name_len;
  uint32_t id;
  std::string_view name() const { return {text, name_len}; }
  std::string_view line() const { return {text, len}; }
};

// A directory entry's values, one list per attribute asked for (in the
// order asked), each value as the server sent it.
struct Value {
  const char *data;
  size_t size;
  std::string_view view() const { return {data, size}; }
};
struct Entry {
  std::string_view dn;
  std::vector<std::vector<Value>> values;
};

// What the sync counts and reports.
struct Tally {
  size_t users = 0, groups = 0;  // entries read
  size_t left_out = 0;           // entries not exported, each reported
  size_t noted = 0;              // entries exported with a reported choice
  size_t dropped_members = 0;    // member DNs that are no exported user
  size_t disabled = 0;           // entries left out as disabled (exclude_disabled)
  size_t keys = 0;               // keys read (ssh_keys)
  size_t keys_left_out = 0;      // key values not written, each reported
  size_t nesting_only = 0;       // groups without an id, read for nesting
  size_t references = 0;         // continuation references left aside
  size_t reported = 0;           // messages printed so far
};

// Prints "vesk-index: DN: TEXT" (the DN made printable); after a thousand
// messages only counts them.
void report_entry(Tally *tally, std::string_view dn, const std::string &text);
// `text` with every byte that is not printable ASCII shown as \xHH.
std::string printable(std::string_view text);

// Builds both maps from the directory's entries.
class MapBuilder {
 public:
  MapBuilder(const Settings &s, Tally *tally);
  ~MapBuilder();
  // The attributes to ask for, in the order add_user/add_group expect them.
  std::vector<std::string> user_attributes() const;
  std::vector<std::string> group_attributes() const;
  // Takes one entry (all users come before the first group).
  void add_user(const Entry &e);
  void add_group(const Entry &e);
  // Sorts users by uid then name and groups by gid then name, resolves the
  // members, and writes each map to `fd` ("\n" after every line).
  bool write_passwd(int fd, std::string *error);
  bool write_group(int fd, std::string *error);
  // The keys map (ssh_keys): "USER:UID:KEY" for every key of every user
  // written to the passwd map, in that map's order, a user's keys together.
  bool write_keys(int fd, std::string *error);
  // Gives the records' memory back.
  void clear();

 private:
  struct Impl;
  Impl *impl_;
};

// Why a TLS connection to `uri` fails, as the TLS library says (a
// certificate that fails verification, and the reason), or empty.
std::string tls_failure(const Settings &s, const std::string &uri);

// Reads users and groups from the directory into *builder.  False with
// *error set (naming the server and its answer) on any failure.
bool read_directory(const Settings &s, const std::string &password, MapBuilder *builder,
                    Tally *tally, std::string *server, std::string *error);

}  // namespace vesk::sync
