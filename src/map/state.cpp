#include "map/state.h"

#include <string.h>

namespace vesk {

char passwd_map_path[kPathBufferSize] = NSS_VESK_PASSWD_MAP;
char group_map_path[kPathBufferSize] = NSS_VESK_GROUP_MAP;

FILE *passwd_stream = nullptr;
FILE *group_stream = nullptr;

pthread_mutex_t module_lock = PTHREAD_MUTEX_INITIALIZER;

size_t copy_path(char *dst, const char *src) {
  strncpy(dst, src, NSS_VESK_PATH_MAX);  // zero-fills up to NSS_VESK_PATH_MAX
  return strnlen(dst, NSS_VESK_PATH_MAX);
}

}  // namespace vesk

extern "C" {

void _nss_vesk_setpwent_path(const char *path) { vesk::copy_path(vesk::passwd_map_path, path); }

void _nss_vesk_setgrent_path(const char *path) { vesk::copy_path(vesk::group_map_path, path); }

}  // extern "C"
