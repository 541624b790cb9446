// Credentials for a GSSAPI bind: a ticket-granting ticket got with the
// keys of a keytab, in a memory credentials cache of this process that the
// SASL GSSAPI mechanism then uses as the default one.
#include <krb5.h>
#include <stdlib.h>

#include "sync.h"

namespace vesk::sync {

namespace {

constexpr char kCache[] = "MEMORY:vesk-index-sync";

}  // namespace

struct GssCredentials::Impl {
  krb5_context ctx = nullptr;
  krb5_ccache cache = nullptr;
  std::string reason(krb5_error_code code) const {
    const char *text = krb5_get_error_message(ctx, code);
    std::string out = printable(text != nullptr ? text : "unknown Kerberos error");
    krb5_free_error_message(ctx, text);
    return out;
  }
};

GssCredentials::GssCredentials() : impl_(new Impl) {}

GssCredentials::~GssCredentials() {
  Impl &m = *impl_;
  if (m.cache != nullptr) krb5_cc_destroy(m.ctx, m.cache);
  if (m.ctx != nullptr) krb5_free_context(m.ctx);
  delete impl_;
}

bool GssCredentials::acquire(const std::string &keytab, const std::string &principal,
                             std::string *error) {
  Impl &m = *impl_;
  std::string who = "keytab " + keytab;
  if (!check_secret_file(keytab, error)) return false;
  krb5_error_code rc = krb5_init_context(&m.ctx);
  if (rc != 0) {
    *error = "can't set up Kerberos (krb5.conf): error " + std::to_string(rc);
    return false;
  }
  krb5_keytab kt = nullptr;
  krb5_principal client = nullptr;
  krb5_get_init_creds_opt *options = nullptr;
  krb5_creds creds{};
  bool have_creds = false;
  auto fail = [&](const std::string &what, krb5_error_code code) {
    *error = who + ": " + what + ": " + m.reason(code);
    return false;
  };
  bool ok = [&] {
    if ((rc = krb5_kt_resolve(m.ctx, ("FILE:" + keytab).c_str(), &kt)) != 0)
      return fail("not a keytab", rc);
    if (!principal.empty()) {
      if ((rc = krb5_parse_name(m.ctx, principal.c_str(), &client)) != 0)
        return fail("not a principal name: " + printable(principal), rc);
    } else {
      // The keytab's first principal, as kinit -k takes it.
      krb5_kt_cursor cursor;
      krb5_keytab_entry entry;
      if ((rc = krb5_kt_start_seq_get(m.ctx, kt, &cursor)) != 0) return fail("can't read it", rc);
      rc = krb5_kt_next_entry(m.ctx, kt, &entry, &cursor);
      krb5_kt_end_seq_get(m.ctx, kt, &cursor);
      if (rc != 0) return fail("no principal in it", rc);
      rc = krb5_copy_principal(m.ctx, entry.principal, &client);
      krb5_free_keytab_entry_contents(m.ctx, &entry);
      if (rc != 0) return fail("can't read it", rc);
    }
    char *name = nullptr;
    if (krb5_unparse_name(m.ctx, client, &name) == 0) {
      who += ", principal " + printable(name);
      krb5_free_unparsed_name(m.ctx, name);
    }
    if ((rc = krb5_get_init_creds_opt_alloc(m.ctx, &options)) != 0)
      return fail("can't get credentials", rc);
    // The KDC is asked now: a wrong keytab or principal is named as such,
    // before any server is.
    if ((rc = krb5_get_init_creds_keytab(m.ctx, &creds, client, kt, 0, nullptr, options)) != 0)
      return fail("the KDC refused the keytab's keys", rc);
    have_creds = true;
    if ((rc = krb5_cc_resolve(m.ctx, kCache, &m.cache)) != 0 ||
        (rc = krb5_cc_initialize(m.ctx, m.cache, client)) != 0 ||
        (rc = krb5_cc_store_cred(m.ctx, m.cache, &creds)) != 0)
      return fail("can't keep the credentials in memory", rc);
    // The SASL GSSAPI mechanism takes the default cache.
    setenv("KRB5CCNAME", kCache, 1);
    return true;
  }();
  if (have_creds) krb5_free_cred_contents(m.ctx, &creds);
  if (options != nullptr) krb5_get_init_creds_opt_free(m.ctx, options);
  if (client != nullptr) krb5_free_principal(m.ctx, client);
  if (kt != nullptr) krb5_kt_close(m.ctx, kt);
  return ok;
}

}  // namespace vesk::sync
