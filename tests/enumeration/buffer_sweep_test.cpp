// Buffer sizes swept from 0 to past a record's size, with guard bytes after
// buflen: every call gives the whole record or TRYAGAIN with ERANGE, never
// writes past buflen, and a retry with a larger buffer yields the record
// that did not fit, not the one after it.
#include <errno.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "enum_db.h"

namespace vesk_test {
namespace {

constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

template <typename Record>
class BufferSweep : public ::testing::Test {
 public:
  using Ops = EnumDb<Record>;
  TempDir dir;
  std::string map = dir.file("map");
  std::string before, target, after;  // the record under test sits between two others

  void SetUp() override { Ops::end(); }
  void TearDown() override {
    Ops::end();
    _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
    _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
  }

  void write_map(const std::string &middle) {
    before = Ops::line("a", 1);
    target = middle;
    after = Ops::line("a", 3);
    write_file(map, before + "\n" + target + "\n" + after + "\n");
    Ops::set_path(map);
  }

  // One call with exactly `buflen` bytes followed by guard bytes, on a stream
  // positioned at the target record.  Returns the status; checks everything
  // that must hold whatever the status, and that a larger buffer then reads
  // the target (if it did not fit) and the record after it.
  nss_status probe(size_t buflen) {
    EXPECT_EQ(Ops::set(), NSS_STATUS_SUCCESS);
    EXPECT_EQ(get_one<Record>().line, before);
    std::vector<unsigned char> mem(buflen + kGuard, kGuardByte);
    char *buf = reinterpret_cast<char *>(mem.data());
    Record r{};
    int err = -12345;
    nss_status s = Ops::get(&r, buf, buflen, &err);
    for (size_t i = buflen; i < mem.size(); ++i) {
      if (mem[i] != kGuardByte) {
        ADD_FAILURE() << "buflen " << buflen << ": guard byte " << i - buflen << " written";
        break;
      }
    }
    if (s == NSS_STATUS_SUCCESS) {
      EXPECT_EQ(record_line(r), target) << "buflen " << buflen;
      size_t outside = 0;
      for (const char *p : Ops::strings(r)) outside += !(p >= buf && p < buf + buflen);
      EXPECT_EQ(outside, 0u) << "buflen " << buflen << ": strings outside the buffer";
    } else {
      EXPECT_EQ(s, NSS_STATUS_TRYAGAIN) << "buflen " << buflen;
      EXPECT_EQ(err, ERANGE) << "buflen " << buflen;
      Got retry = get_one<Record>(target.size() * 3 + 4096);
      EXPECT_EQ(retry.status, NSS_STATUS_SUCCESS) << "buflen " << buflen;
      EXPECT_EQ(retry.line, target) << "buflen " << buflen << ": retry skipped the record";
    }
    EXPECT_EQ(get_one<Record>(target.size() * 3 + 4096).line, after) << "buflen " << buflen;
    return s;
  }

  // Probes every size in [from, to]; sizes that succeed must form one run
  // up to `to`.  Returns the smallest size that succeeded (0 if none did).
  size_t sweep(size_t from, size_t to) {
    size_t smallest = 0;
    for (size_t n = from; n <= to; ++n) {
      nss_status s = probe(n);
      if (s == NSS_STATUS_SUCCESS && smallest == 0) smallest = n;
      if (s != NSS_STATUS_SUCCESS && smallest != 0) {
        ADD_FAILURE() << "buflen " << n << " fails although " << smallest << " succeeded";
        break;
      }
      if (::testing::Test::HasFailure()) break;
    }
    return smallest;
  }
};

using Databases = ::testing::Types<struct passwd, struct group>;
TYPED_TEST_SUITE(BufferSweep, Databases);

TYPED_TEST(BufferSweep, EverySizeFromZeroGivesWholeRecordOrTryAgain) {
  this->write_map(TestFixture::Ops::line("b", 2, 40));
  size_t limit = this->target.size() * 3 + 64;
  size_t smallest = this->sweep(0, limit);
  ASSERT_NE(smallest, 0u) << "no size up to " << limit << " succeeded";
  EXPECT_GT(smallest, this->target.size() / 2);  // the strings must fit somewhere
}

// The smallest buffer that holds the target, found by bisection.
template <typename Record>
size_t smallest_fit(BufferSweep<Record> &t, size_t hi) {
  size_t lo = 0;  // fails
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    (t.probe(mid) == NSS_STATUS_SUCCESS ? hi : lo) = mid;
  }
  return hi;
}

TYPED_TEST(BufferSweep, RecordLongerThanTheStreamBufferAroundItsSizes) {
  // Longer than stdio's own buffer, so the reader refills mid-line: sweep
  // around the line's length and around the smallest size that fits.
  this->write_map(TestFixture::Ops::line("b", 2, 9000));
  size_t line = this->target.size();
  size_t hi = line * 3 + 64;
  ASSERT_EQ(this->probe(hi), NSS_STATUS_SUCCESS);
  size_t needed = smallest_fit(*this, hi);
  ASSERT_GT(needed, line);  // the line itself and its terminator at least
  size_t first = this->sweep(line - 16, line + 16);
  EXPECT_EQ(first, needed <= line + 16 ? needed : 0u);
  EXPECT_EQ(this->sweep(needed - 32, needed + 32), needed);
}

class BigGroupSweep : public BufferSweep<struct group> {};

TEST_F(BigGroupSweep, FiftyThousandMembersAroundTheNeededSize) {
  std::string line = "big:x:4242:";
  for (int m = 0; m < 50000; ++m) line += (m ? ",member" : "member") + std::to_string(m);
  write_map(line);
  size_t hi = line.size() * 4;
  ASSERT_EQ(probe(hi), NSS_STATUS_SUCCESS);
  size_t needed = smallest_fit<struct group>(*this, hi);
  ASSERT_GT(needed, line.size());  // strings plus 50,001 member pointers
  EXPECT_EQ(sweep(needed - 32, needed + 32), needed);
}

}  // namespace
}  // namespace vesk_test
