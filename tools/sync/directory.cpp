// Reading the directory: one connection, verified TLS, a bind, and a paged
// subtree search for users and then one for groups.  Each entry is turned
// into a record as it arrives and its message freed, so memory grows with
// the maps, not with the replies.
#include <errno.h>
#include <ldap.h>
#include <sasl/sasl.h>
#include <string.h>
#include <strings.h>

#include "core/index_tool.h"
#include "ranges.h"
#include "sync.h"

namespace vesk::sync {

namespace {

struct Handle {
  LDAP *ld = nullptr;
  Handle() = default;
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  ~Handle() {
    if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
  }
};

// The server's answer: the result code's text and its diagnostic message.
std::string answer(LDAP *ld, int rc, const char *text = nullptr) {
  std::string out = ldap_err2string(rc);
  char *diagnostic = nullptr;
  if (text == nullptr && ld != nullptr &&
      ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic) == LDAP_OPT_SUCCESS &&
      diagnostic != nullptr)
    text = diagnostic;
  if (text != nullptr && *text != '\0') out += " (" + printable(text) + ")";
  if (diagnostic != nullptr) ldap_memfree(diagnostic);
  return out;
}

bool starts_with_nocase(const std::string &text, const char *prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// Opens, secures and binds a connection to `uri`.
// Cyrus SASL's questions during a GSSAPI bind: the defaults (no other
// authorization identity).
int sasl_defaults(LDAP *, unsigned, void *, void *prompts) {
  for (sasl_interact_t *p = static_cast<sasl_interact_t *>(prompts); p->id != SASL_CB_LIST_END;
       ++p) {
    p->result = p->defresult != nullptr ? p->defresult : "";
    p->len = static_cast<unsigned>(strlen(static_cast<const char *>(p->result)));
  }
  return LDAP_SUCCESS;
}

bool gssapi_bind(const Settings &s, LDAP *ld, bool tls, std::string *error) {
  std::string who = "GSSAPI bind with keytab " + s.keytab +
                    (s.principal.empty() ? "" : " as " + printable(s.principal));
  // The service's name is the URI's host as written, not what reverse
  // DNS says it is.  Without TLS the bind must set up a security layer
  // (integrity at least) that protects everything after it.
  // Over TLS no second layer: servers refuse signing inside TLS.
  const char *secprops = tls ? "minssf=0,maxssf=0" : "minssf=1";
  if (ldap_set_option(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_X_SASL_SECPROPS, secprops) != LDAP_OPT_SUCCESS) {
    *error = who + ": can't set the SASL options";
    return false;
  }
  int rc = ldap_sasl_interactive_bind_s(ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET,
                                        sasl_defaults, nullptr);
  if (rc != LDAP_SUCCESS) {
    *error = who + " failed: " + answer(ld, rc);
    return false;
  }
  ber_len_t ssf = 0;
  if (!tls && (ldap_get_option(ld, LDAP_OPT_X_SASL_SSF, &ssf) != LDAP_OPT_SUCCESS || ssf == 0)) {
    *error = who + ": no SASL security layer on a connection without TLS";
    return false;
  }
  return true;
}

bool open_connection(const Settings &s, const std::string &uri, const std::string &password,
                     Handle *h, std::string *error) {
  int rc = ldap_initialize(&h->ld, uri.c_str());
  if (rc != LDAP_SUCCESS) {
    *error = "not a usable URI: " + answer(nullptr, rc);
    return false;
  }
  LDAP *ld = h->ld;
  int version = LDAP_VERSION3;
  struct timeval timeout = {s.timeout, 0};
  // Certificates are always verified, whatever any library default says;
  // each connection gets a TLS context of its own with these settings.
  int demand = LDAP_OPT_X_TLS_DEMAND;
  bool tls = starts_with_nocase(uri, "ldaps://") || (starts_with_nocase(uri, "ldap://") && s.starttls);
  bool ok = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS &&
            ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) == LDAP_OPT_SUCCESS &&
            ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &timeout) == LDAP_OPT_SUCCESS &&
            ldap_set_option(ld, LDAP_OPT_TIMEOUT, &timeout) == LDAP_OPT_SUCCESS;
  if (ok && tls) {
    ok = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == LDAP_OPT_SUCCESS &&
         (s.tls_ca_file.empty() ||
          ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, s.tls_ca_file.c_str()) ==
              LDAP_OPT_SUCCESS) &&
         (s.tls_cert_file.empty() ||
          (ldap_set_option(ld, LDAP_OPT_X_TLS_CERTFILE, s.tls_cert_file.c_str()) ==
               LDAP_OPT_SUCCESS &&
           ldap_set_option(ld, LDAP_OPT_X_TLS_KEYFILE, s.tls_key_file.c_str()) ==
               LDAP_OPT_SUCCESS));
    int client = 0;
    if (ok && (rc = ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client)) != LDAP_OPT_SUCCESS) {
      *error = "can't set up TLS (tls_ca_file, tls_cert_file, tls_key_file): " + answer(ld, rc);
      return false;
    }
  }
  if (!ok) {
    *error = "can't set the connection's options";
    return false;
  }
  if ((rc = ldap_connect(ld)) != LDAP_SUCCESS) {
    *error = "can't connect: " + answer(ld, rc);
    std::string why = tls ? tls_failure(s, uri) : std::string();
    if (!why.empty()) *error += ": " + why;
    return false;
  }
  if (starts_with_nocase(uri, "ldap://") && s.starttls &&
      (rc = ldap_start_tls_s(ld, nullptr, nullptr)) != LDAP_SUCCESS) {
    *error = "StartTLS failed: " + answer(ld, rc);
    std::string why = tls_failure(s, uri);
    if (!why.empty()) *error += ": " + why;
    return false;
  }
  if (s.bind == Bind::Simple) {
    struct berval cred = {static_cast<ber_len_t>(password.size()), const_cast<char *>(password.data())};
    rc = ldap_sasl_bind_s(ld, s.bind_dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      *error = "bind as " + printable(s.bind_dn) + " failed: " + answer(ld, rc);
      return false;
    }
  } else if (s.bind == Bind::SaslExternal) {
    // EXTERNAL takes its identity from the connection: the peer's
    // credentials on ldapi://, the client certificate over TLS.  The empty
    // initial response asks for no other authorization identity.
    struct berval empty = {0, const_cast<char *>("")};
    struct berval *challenge = nullptr;
    rc = ldap_sasl_bind_s(ld, nullptr, "EXTERNAL", &empty, nullptr, nullptr, &challenge);
    if (challenge != nullptr) ber_bvfree(challenge);
    if (rc != LDAP_SUCCESS) {
      *error = "SASL EXTERNAL bind failed: " + answer(ld, rc);
      return false;
    }
  } else if (s.bind == Bind::SaslGssapi && !gssapi_bind(s, ld, tls, error)) {
    return false;
  }
  // Replies are read in large chunks, not two reads and a poll per entry
  // (a million users are some three million system calls otherwise).
  // (With a SASL security layer the library's own layer does the
  // reading.)
  ber_len_t ssf = 0;
  if (s.bind == Bind::SaslGssapi && ldap_get_option(ld, LDAP_OPT_X_SASL_SSF, &ssf) == LDAP_OPT_SUCCESS &&
      ssf > 0)
    return true;
  Sockbuf *sb = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb) == LDAP_OPT_SUCCESS && sb != nullptr)
    ber_sockbuf_add_io(sb, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_APPLICATION, nullptr);
  return true;
}

// One paged subtree search; `take` gets every entry.
// The domain-scope control (Active Directory's): no referrals to other
// domains.  Not critical, so servers without it answer all the same.
constexpr char kDomainScope[] = "1.2.840.113556.1.4.1339";

template <typename Take>
bool search(LDAP *ld, const Settings &s, const std::string &base, const std::string &filter,
            const std::vector<std::string> &attributes, Take take, Tally *tally,
            std::string *error) {
  std::vector<char *> attrs;
  for (const std::string &a : attributes) attrs.push_back(const_cast<char *>(a.c_str()));
  attrs.push_back(nullptr);
  Entry entry;
  entry.values.resize(attributes.size());
  HeldReplies held;  // one entry's value arrays, and the replies of its ranges
  std::vector<std::pair<size_t, Range>> ranged;  // its attributes that came in ranges
  struct berval cookie = {0, nullptr};
  std::string where = "searching " + printable(base) + " for " + printable(filter);
  bool ok = true;
  for (bool more = true; more && ok;) {
    LDAPControl *page = nullptr;
    int rc = ldap_create_page_control(ld, static_cast<ber_int_t>(s.page_size), &cookie, 1, &page);
    if (rc != LDAP_SUCCESS) {
      *error = where + ": can't make the paged results control: " + answer(ld, rc);
      ok = false;
      break;
    }
    LDAPControl scope = {const_cast<char *>(kDomainScope), {0, nullptr}, 0};
    LDAPControl *controls[] = {page, s.ignore_referrals ? &scope : nullptr, nullptr};
    struct timeval limit = {s.timeout, 0};
    int msgid;
    rc = ldap_search_ext(ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs.data(), 0,
                         controls, nullptr, &limit, 0, &msgid);
    ldap_control_free(page);
    if (rc != LDAP_SUCCESS) {
      *error = where + ": " + answer(ld, rc);
      ok = false;
      break;
    }
    more = false;
    for (bool done = false; !done;) {
      LDAPMessage *msg = nullptr;
      struct timeval wait = {s.timeout, 0};
      rc = ldap_result(ld, msgid, LDAP_MSG_ONE, &wait, &msg);
      if (rc <= 0) {
        if (rc == 0) {
          *error = where + ": no answer within " + std::to_string(s.timeout) + " seconds";
          ldap_abandon_ext(ld, msgid, nullptr, nullptr);
        } else {
          int code = LDAP_OTHER;
          ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
          *error = where + ": " + answer(ld, code);
        }
        ok = false;
        break;
      }
      int type = ldap_msgtype(msg);
      if (type == LDAP_RES_SEARCH_ENTRY) {
        BerElement *ber = nullptr;
        struct berval dn = {0, nullptr};
        if (ldap_get_dn_ber(ld, msg, &ber, &dn) != LDAP_SUCCESS) {
          *error = where + ": an entry the library can't decode";
          if (ber != nullptr) ber_free(ber, 0);
          ldap_msgfree(msg);
          ok = false;
          break;
        }
        entry.dn = {dn.bv_val, dn.bv_len};
        for (auto &v : entry.values) v.clear();
        ranged.clear();
        struct berval type_bv;
        BerVarray values = nullptr;
        while (ok && ldap_get_attribute_ber(ld, msg, ber, &type_bv, &values) == LDAP_SUCCESS &&
               type_bv.bv_val != nullptr) {
          if (values == nullptr) continue;
          held.arrays.push_back(values);
          // An attribute with other options (cn;lang-de) is not the one
          // asked for; one with a range option is, in slices.
          std::string_view type(type_bv.bv_val, type_bv.bv_len);
          Range range;
          RangeOption option = parse_range(type, &range);
          std::string_view asked = option == RangeOption::None ? type : range.attribute;
          for (size_t i = 0; i < attributes.size(); ++i)
            if (asked.size() == attributes[i].size() &&
                strncasecmp(asked.data(), attributes[i].data(), asked.size()) == 0) {
              if (option == RangeOption::Malformed) {
                *error = where + ": " + printable(entry.dn) + ": " + attributes[i] +
                         " arrived in ranges that can't be completed: " + printable(type);
                ok = false;
                break;
              }
              for (BerVarray v = values; v->bv_val != nullptr; ++v, ++range.count)
                entry.values[i].push_back({v->bv_val, v->bv_len});
              if (option == RangeOption::Valid) ranged.emplace_back(i, std::move(range));
              break;
            }
          values = nullptr;
        }
        for (auto &[i, first] : ranged)
          if (ok && !read_ranges(ld, s, entry.dn, attributes[i], first, &entry.values[i], &held,
                                 error)) {
            *error = where + ": " + printable(entry.dn) + ": " + *error;
            ok = false;
          }
        if (ok) take(entry);
        held.clear();
        ber_free(ber, 0);
      } else if (type == LDAP_RES_SEARCH_REFERENCE) {
        // Another naming context (a DC's Configuration or DNS zones):
        // left aside with referrals = ignore, else the search would be
        // incomplete.
        char **refs = nullptr;
        ldap_parse_reference(ld, msg, &refs, nullptr, 0);
        std::string target = refs != nullptr && refs[0] != nullptr ? printable(refs[0]) : "?";
        if (refs != nullptr) ber_memvfree(reinterpret_cast<void **>(refs));
        if (s.ignore_referrals) {
          ++tally->references;
          tool::report("sync", where + ": a continuation reference to " + target +
                                   " left aside (referrals = ignore)");
        } else {
          *error = where + ": the server sent a referral to " + target +
                   " (the search would be incomplete; referrals = ignore leaves such "
                   "references aside)";
          ok = false;
        }
      } else if (type == LDAP_RES_SEARCH_RESULT) {
        done = true;
        int code = LDAP_OTHER;
        char *text = nullptr;
        char **referrals = nullptr;
        LDAPControl **returned = nullptr;
        rc = ldap_parse_result(ld, msg, &code, nullptr, &text, &referrals, &returned, 0);
        if (rc != LDAP_SUCCESS) {
          *error = where + ": can't read the search result: " + answer(ld, rc);
          ok = false;
        } else if (code != LDAP_SUCCESS) {
          *error = where + ": " + answer(ld, code, text != nullptr ? text : "");
          ok = false;
        } else {
          LDAPControl *response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
          ber_int_t estimate;
          bool first_page = cookie.bv_val == nullptr;
          if (cookie.bv_val != nullptr) ber_memfree(cookie.bv_val);
          cookie = {0, nullptr};
          if (response == nullptr && first_page) {
            // A server that ignores the control (a compatibility view that
            // builds its answer whole) and ends in success has sent
            // everything: success is its word that nothing was cut.
          } else if (response == nullptr) {
            *error = where + ": the server answered a later page without a paged results control";
            ok = false;
          } else if (ldap_parse_pageresponse_control(ld, response, &estimate, &cookie) !=
                     LDAP_SUCCESS) {
            *error = where + ": the server's paged results control can't be read";
            ok = false;
          } else {
            more = cookie.bv_val != nullptr && cookie.bv_len > 0;
          }
        }
        if (text != nullptr) ldap_memfree(text);
        if (referrals != nullptr) ber_memvfree(reinterpret_cast<void **>(referrals));
        if (returned != nullptr) ldap_controls_free(returned);
      } else {
        *error = where + ": an unexpected reply (type " + std::to_string(type) + ")";
        ok = false;
      }
      ldap_msgfree(msg);
      if (!ok) break;
    }
  }
  if (cookie.bv_val != nullptr) ber_memfree(cookie.bv_val);
  return ok;
}

}  // namespace

bool read_directory(const Settings &s, const std::string &password, MapBuilder *builder,
                    Tally *tally, std::string *server, std::string *error) {
  GssCredentials cred;
  if (s.bind == Bind::SaslGssapi && !cred.acquire(s.keytab, s.principal, error)) {
    *server = "sync";
    return false;
  }
  Handle h;
  bool connected = false;
  for (const std::string &uri : s.uris) {
    Handle next;
    std::string why;
    if (open_connection(s, uri, password, &next, &why)) {
      std::swap(h.ld, next.ld);
      *server = uri;
      connected = true;
      break;
    }
    *error = why;
    *server = uri;
    if (s.uris.size() > 1) tool::report(printable(uri), why);
  }
  if (!connected) {
    if (s.uris.size() > 1) *error = "no server could be used";
    return false;
  }
  for (const std::string &base : s.user_bases)
    if (!search(h.ld, s, base, s.user_filter, builder->user_attributes(),
                [&](const Entry &e) { builder->add_user(e); }, tally, error))
      return false;
  for (const std::string &base : s.group_bases)
    if (!search(h.ld, s, base, s.group_filter, builder->group_attributes(),
                [&](const Entry &e) { builder->add_group(e); }, tally, error))
      return false;
  return true;
}

}  // namespace vesk::sync
