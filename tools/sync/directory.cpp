// Reading the directory: one connection, verified TLS, a bind, and a paged
// subtree search for users and then one for groups.  Each entry is turned
// into a record as it arrives and its message freed, so memory grows with
// the maps, not with the replies.
#include <errno.h>
#include <ldap.h>
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
    return false;
  }
  if (starts_with_nocase(uri, "ldap://") && s.starttls &&
      (rc = ldap_start_tls_s(ld, nullptr, nullptr)) != LDAP_SUCCESS) {
    *error = "StartTLS failed: " + answer(ld, rc);
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
  }
  // Replies are read in large chunks, not two reads and a poll per entry
  // (a million users are some three million system calls otherwise).
  Sockbuf *sb = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb) == LDAP_OPT_SUCCESS && sb != nullptr)
    ber_sockbuf_add_io(sb, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_APPLICATION, nullptr);
  return true;
}

// One paged subtree search; `take` gets every entry.
template <typename Take>
bool search(LDAP *ld, const Settings &s, const std::string &base, const std::string &filter,
            const std::vector<std::string> &attributes, Take take, std::string *error) {
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
    LDAPControl *controls[] = {page, nullptr};
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
        *error = where + ": the server sent a referral (the search would be incomplete)";
        ok = false;
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
                    std::string *server, std::string *error) {
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
  return search(h.ld, s, s.user_base, s.user_filter, builder->user_attributes(),
                [&](const Entry &e) { builder->add_user(e); }, error) &&
         search(h.ld, s, s.group_base, s.group_filter, builder->group_attributes(),
                [&](const Entry &e) { builder->add_group(e); }, error);
}

}  // namespace vesk::sync
