// Credentials for a GSSAPI bind: the keys of a keytab, the tickets in a
// memory cache of this process.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <unistd.h>

#include "sync.h"

namespace vesk::sync {

std::string gss_reason(uint32_t major, uint32_t minor) {
  std::string out;
  for (int type : {GSS_C_GSS_CODE, GSS_C_MECH_CODE}) {
    OM_uint32 code = type == GSS_C_GSS_CODE ? major : minor, context = 0, ignored;
    if (type == GSS_C_MECH_CODE && minor == 0) break;
    do {
      gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
      if (GSS_ERROR(gss_display_status(&ignored, code, type, GSS_C_NO_OID, &context, &text)))
        break;
      if (!out.empty()) out += ": ";
      out.append(static_cast<const char *>(text.value), text.length);
      gss_release_buffer(&ignored, &text);
    } while (context != 0);
  }
  return printable(out);
}

bool GssCredentials::acquire(const std::string &keytab, const std::string &principal,
                             std::string *error) {
  std::string who = "keytab " + keytab +
                    (principal.empty() ? std::string(" (its first principal)")
                                       : ", principal " + printable(principal));
  OM_uint32 minor = 0, ignored;
  gss_name_t name = GSS_C_NO_NAME;
  if (!principal.empty()) {
    gss_buffer_desc text = {principal.size(), const_cast<char *>(principal.data())};
    OM_uint32 major = gss_import_name(&minor, &text, GSS_KRB5_NT_PRINCIPAL_NAME, &name);
    if (GSS_ERROR(major)) {
      *error = who + ": not a principal name: " + gss_reason(major, minor);
      return false;
    }
  }
  // A memory cache of this process's own: tickets never reach a file.
  std::string cache = "MEMORY:vesk-index-sync-" + std::to_string(getpid());
  gss_key_value_element_desc elements[] = {{"client_keytab", keytab.c_str()},
                                           {"ccache", cache.c_str()}};
  gss_key_value_set_desc store = {2, elements};
  gss_OID_set_desc mechs = {1, const_cast<gss_OID>(gss_mech_krb5)};
  gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
  OM_uint32 major = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE,
                                          &store, &cred, nullptr, nullptr);
  if (name != GSS_C_NO_NAME) gss_release_name(&ignored, &name);
  if (GSS_ERROR(major)) {
    *error = who + ": no credentials: " + gss_reason(major, minor);
    return false;
  }
  // A keytab without the principal's keys fails here; keys the KDC no
  // longer accepts fail the bind, which names the keytab too.
  OM_uint32 lifetime = 0;
  gss_name_t holder = GSS_C_NO_NAME;
  major = gss_inquire_cred(&minor, cred, &holder, &lifetime, nullptr, nullptr);
  if (holder != GSS_C_NO_NAME) gss_release_name(&ignored, &holder);
  if (GSS_ERROR(major)) {
    gss_release_cred(&ignored, &cred);
    *error = who + ": no credentials: " + gss_reason(major, minor);
    return false;
  }
  cred_ = cred;
  return true;
}

GssCredentials::~GssCredentials() {
  OM_uint32 ignored;
  gss_cred_id_t cred = static_cast<gss_cred_id_t>(cred_);
  if (cred != GSS_C_NO_CREDENTIAL) gss_release_cred(&ignored, &cred);
}

}  // namespace vesk::sync
