// Tests against the module's objects linked in statically: the raw path
// buffers, and the enumeration step run over line readers that consume the
// line even when it does not fit the buffer (as a reader supplied by the
// process on a platform without its own may do).  This executable defines
// fgetpwent_r and fgetgrent_r itself, so the module's calls land here.
#include <dlfcn.h>
#include <errno.h>
#include <string.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <type_traits>

#include "enum_db.h"
#include "map/state.h"

// Only where the module reads through libc's readers; its own readers (used
// where libc lacks them, or when the build asks for them) aren't reached here.
#if defined(VESK_HAVE_FGETPWENT_R) && defined(VESK_HAVE_FGETGRENT_R)
#define VESK_TEST_LIBC_READERS 1
#endif

#ifdef VESK_TEST_LIBC_READERS
namespace {

std::atomic<bool> consume_on_erange{false};
std::atomic<int> reader_calls{0};

void skip_line(FILE *f) {
  int c;
  while ((c = getc(f)) != EOF && c != '\n') {
  }
}

// Calls libc's reader of that name, then, when asked to, throws the line
// away on ERANGE as a consuming reader would.
template <typename Record>
int consuming_read(const char *name, FILE *f, Record *r, char *buf, size_t len, Record **out) {
  using Fn = int (*)(FILE *, Record *, char *, size_t, Record **);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
  ++reader_calls;
  int rc = real(f, r, buf, len, out);
  if (rc == ERANGE && consume_on_erange) {
    skip_line(f);
    errno = ERANGE;
  }
  return rc;
}

}  // namespace

extern "C" int fgetpwent_r(FILE *f, struct passwd *r, char *buf, size_t len, struct passwd **out) {
  return consuming_read("fgetpwent_r", f, r, buf, len, out);
}

extern "C" int fgetgrent_r(FILE *f, struct group *r, char *buf, size_t len, struct group **out) {
  return consuming_read("fgetgrent_r", f, r, buf, len, out);
}
#endif

namespace vesk_test {
namespace {

std::string buffer_text(const char *buf) { return std::string(buf, strnlen(buf, vesk::kPathBufferSize)); }

bool zero_from(const char *buf, size_t from) {
  for (size_t i = from; i < vesk::kPathBufferSize; ++i)
    if (buf[i] != 0) return false;
  return true;
}

// Must run before any setter in this process (each test runs in its own
// process under ctest; it is also the first test of this file).
TEST(PathBuffers, StartWithTheCompiledInPathsAndZeros) {
  EXPECT_EQ(buffer_text(vesk::passwd_map_path), NSS_VESK_PASSWD_MAP);
  EXPECT_EQ(buffer_text(vesk::group_map_path), NSS_VESK_GROUP_MAP);
  EXPECT_TRUE(zero_from(vesk::passwd_map_path, strlen(NSS_VESK_PASSWD_MAP)));
  EXPECT_TRUE(zero_from(vesk::group_map_path, strlen(NSS_VESK_GROUP_MAP)));
}

TEST(PathBuffers, OverlongPathKeepsFirst254BytesThenZerosAndShorterLeavesNoTrace) {
  std::string long_path = "/" + std::string(299, 'q');
  for (int i = 0; i < 300; ++i) long_path[i] = static_cast<char>('a' + i % 26);
  struct Setter {
    void (*set)(const char *);
    char *buf;
  };
  for (Setter s : {Setter{_nss_vesk_setpwent_path, vesk::passwd_map_path},
                   Setter{_nss_vesk_setgrent_path, vesk::group_map_path}}) {
    memset(s.buf, 'X', NSS_VESK_PATH_MAX);  // stale bytes the setter must overwrite
    s.set(long_path.c_str());
    EXPECT_EQ(buffer_text(s.buf), long_path.substr(0, 254));
    EXPECT_TRUE(zero_from(s.buf, 254));
    s.set("/srv/m");
    EXPECT_EQ(buffer_text(s.buf), "/srv/m");
    EXPECT_TRUE(zero_from(s.buf, 6)) << "remains of the longer path";
    s.set("");
    EXPECT_TRUE(zero_from(s.buf, 0));
  }
  _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
  _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
}

#ifdef VESK_TEST_LIBC_READERS
template <typename Record>
class ConsumingReader : public ::testing::Test {
 protected:
  using Ops = EnumDb<Record>;
  TempDir dir;
  std::string map = dir.file("map");
  void SetUp() override {
    write_file(map, Ops::line("a", 1, 300) + "\n" + Ops::line("a", 2) + "\n");
    Ops::set_path(map);
    consume_on_erange = true;
  }
  void TearDown() override {
    consume_on_erange = false;
    Ops::end();
    _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
    _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
  }
};

using Databases = ::testing::Types<struct passwd, struct group>;
TYPED_TEST_SUITE(ConsumingReader, Databases);

TYPED_TEST(ConsumingReader, RetryAfterTryAgainStillReadsTheRecordThatDidNotFit) {
  using Ops = typename TestFixture::Ops;
  // The reader on its own loses the line: its next read gives record 2.
  {
    FILE *f = fopen(this->map.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char small[64];
    TypeParam r{}, *out = nullptr;
    int rc;
    if constexpr (std::is_same_v<TypeParam, struct passwd>)
      rc = fgetpwent_r(f, &r, small, sizeof small, &out);
    else
      rc = fgetgrent_r(f, &r, small, sizeof small, &out);
    ASSERT_EQ(rc, ERANGE);
    char big[4096];
    if constexpr (std::is_same_v<TypeParam, struct passwd>)
      rc = fgetpwent_r(f, &r, big, sizeof big, &out);
    else
      rc = fgetgrent_r(f, &r, big, sizeof big, &out);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(record_line(r), Ops::line("a", 2));
    fclose(f);
  }
  // The module's step puts the stream back where the record starts.
  int calls = reader_calls;
  ASSERT_EQ(Ops::set(), NSS_STATUS_SUCCESS);
  for (size_t small : {0, 1, 2, 16, 64, 200}) {
    Got g = get_one<TypeParam>(small);
    EXPECT_EQ(g.status, NSS_STATUS_TRYAGAIN) << small;
    EXPECT_EQ(g.err, ERANGE) << small;
  }
  EXPECT_EQ(get_one<TypeParam>().line, Ops::line("a", 1, 300));
  EXPECT_EQ(get_one<TypeParam>().line, Ops::line("a", 2));
  EXPECT_EQ(get_one<TypeParam>().status, NSS_STATUS_NOTFOUND);
  EXPECT_GT(reader_calls - calls, 0) << "the module did not read through this executable's readers";
}
#endif

}  // namespace
}  // namespace vesk_test
