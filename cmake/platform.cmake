# The platform layer: what the build learns about libc, and the pieces the
# BSD dispatcher needs.  Included by the top-level CMakeLists.txt after the
# vesk_objects target exists.  Sets:
#   VESK_PLATFORM_DEFINITIONS  compile definitions of the module's sources
#   VESK_LIBC_LINE_READERS     ON where libc has fgetpwent_r and fgetgrent_r
#   VESK_DISPATCH_DEFINITIONS  compile definitions of src/register/
#   VESK_DISPATCH_EXPORTS      version script of a module with the registration

include(CheckSymbolExists)
include(CheckCXXSourceCompiles)

# Line readers.  The module's own are always compiled, so they are tested on
# every platform; they replace libc's where it lacks them (the BSDs) or,
# for testing the whole module with them, where this option asks for it.
option(VESK_OWN_LINE_READERS "Use the module's own passwd/group line readers even where libc has them" OFF)
set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
check_symbol_exists(fgetpwent_r "stdio.h;pwd.h" VESK_LIBC_FGETPWENT_R)
check_symbol_exists(fgetgrent_r "stdio.h;grp.h" VESK_LIBC_FGETGRENT_R)
unset(CMAKE_REQUIRED_DEFINITIONS)
if(VESK_LIBC_FGETPWENT_R AND VESK_LIBC_FGETGRENT_R)
  set(VESK_LIBC_LINE_READERS ON)
else()
  set(VESK_LIBC_LINE_READERS OFF)
endif()
set(VESK_PLATFORM_DEFINITIONS "")
if(NOT VESK_OWN_LINE_READERS)
  if(VESK_LIBC_FGETPWENT_R)
    list(APPEND VESK_PLATFORM_DEFINITIONS VESK_HAVE_FGETPWENT_R)
  endif()
  if(VESK_LIBC_FGETGRENT_R)
    list(APPEND VESK_PLATFORM_DEFINITIONS VESK_HAVE_FGETGRENT_R)
  endif()
endif()
target_sources(vesk_objects PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../src/map/line_reader.cpp)
target_compile_definitions(vesk_objects PUBLIC ${VESK_PLATFORM_DEFINITIONS})

# The dispatcher's header, where the system has one with the method table.
# OFF builds the registration with the module's own declarations instead
# (src/register/nss_dispatch.h), to test them where the header exists.
option(VESK_SYSTEM_NSSWITCH_H "Use the system's <nsswitch.h> where it has the method table" ON)
if(NOT VESK_SYSTEM_NSSWITCH_H)
  unset(VESK_HAVE_NSSWITCH_H CACHE)
  set(VESK_HAVE_NSSWITCH_H OFF)
else()
check_cxx_source_compiles([=[
#include <stdarg.h>
#include <nsswitch.h>
int main() {
  ns_mtab entry{};
  nss_module_unregister_fn unload = nullptr;
  (void)entry;
  (void)unload;
  return NS_SUCCESS | NS_NOTFOUND | NS_UNAVAIL | NS_TRYAGAIN | NS_RETURN;
}
]=] VESK_HAVE_NSSWITCH_H)
endif()
set(VESK_DISPATCH_DEFINITIONS "")
if(VESK_HAVE_NSSWITCH_H)
  list(APPEND VESK_DISPATCH_DEFINITIONS VESK_HAVE_NSSWITCH_H)
  check_symbol_exists(__nss_compat_getpwnam_r "stdarg.h;nsswitch.h" VESK_HAVE_NSS_COMPAT_DECLS)
  if(VESK_HAVE_NSS_COMPAT_DECLS)
    list(APPEND VESK_DISPATCH_DEFINITIONS VESK_HAVE_NSS_COMPAT_DECLS)
  endif()
endif()

# A module that carries the registration exports nss_module_register as
# well: its version script is src/exports.map with that one name added.
set(_vesk_map_in ${CMAKE_CURRENT_LIST_DIR}/../src/exports.map)
file(READ ${_vesk_map_in} _vesk_map)
string(REPLACE "global:" "global:\n    nss_module_register;" _vesk_map "${_vesk_map}")
set(VESK_DISPATCH_EXPORTS ${CMAKE_BINARY_DIR}/exports-dispatch.map)
file(CONFIGURE OUTPUT ${VESK_DISPATCH_EXPORTS} CONTENT "${_vesk_map}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_vesk_map_in})

if(VESK_BSD)
  # The BSD module registers with the dispatcher; the adapters come from libc.
  target_sources(vesk_objects PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../src/register/register.cpp)
  target_compile_definitions(vesk_objects PRIVATE ${VESK_DISPATCH_DEFINITIONS})
endif()
