// The manifest's strict parser and the zstd delta codec: what fetch relies
// on before it trusts a byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec.h"
#include "manifest.h"

namespace vesk::fetch {
namespace {

const std::string kHash(64, 'a');

std::string good() {
  return "vesk-manifest 1\ngeneration 7\ncreated 2026-12-09T15:44:27Z\n"
         "map passwd size 10 records 1 sha256 " + kHash + "\n"
         "zst passwd size 5 sha256 " + kHash + "\n"
         "delta passwd from 6 size 3 sha256 " + kHash + "\n"
         "map group size 4 records 1 sha256 " + kHash + "\n";
}

TEST(Manifest, RoundTrip) {
  Manifest m;
  std::string error;
  ASSERT_TRUE(parse_manifest(good(), &m, &error)) << error;
  EXPECT_EQ(m.generation, 7u);
  EXPECT_EQ(format_utc(m.created), "2026-12-09T15:44:27Z");
  ASSERT_NE(m.map("passwd"), nullptr);
  ASSERT_NE(m.map("passwd")->delta_from(6), nullptr);
  EXPECT_EQ(m.map("passwd")->delta_from(6)->blob.size, 3u);
  EXPECT_EQ(m.map("group")->zst.sha256, "");
  EXPECT_EQ(format_manifest(m), good());
  EXPECT_EQ(m.channel, "");

  // Channel and key, written after the creation time.
  std::string named = good();
  named.insert(named.find("map "), "channel staging\nkey 0123456789abcdef\n");
  ASSERT_TRUE(parse_manifest(named, &m, &error)) << error;
  EXPECT_EQ(m.channel, "staging");
  EXPECT_EQ(m.key, "0123456789abcdef");
  EXPECT_EQ(format_manifest(m), named);
}

// The keys map is optional, after the two maps; absent, a manifest is
// still whole.
TEST(Manifest, KeysMapOptional) {
  Manifest m;
  std::string error;
  ASSERT_TRUE(parse_manifest(good(), &m, &error)) << error;
  EXPECT_EQ(m.map(kKeysName), nullptr);
  std::string with = good() + "map keys size 99 records 3 sha256 " + kHash + "\n" +
                     "delta keys from 5 size 2 sha256 " + kHash + "\n";
  ASSERT_TRUE(parse_manifest(with, &m, &error)) << error;
  ASSERT_NE(m.map(kKeysName), nullptr);
  EXPECT_EQ(m.map(kKeysName)->records, 3u);
  EXPECT_EQ(format_manifest(m), with);
  EXPECT_FALSE(within_limit(m, 10, &error));  // the keys map counts
  EXPECT_NE(error.find("keys"), std::string::npos) << error;
}

TEST(Manifest, SizesWithinTheLimit) {
  Manifest m;
  std::string error;
  ASSERT_TRUE(parse_manifest(good(), &m, &error)) << error;
  EXPECT_TRUE(within_limit(m, 10, &error));
  EXPECT_FALSE(within_limit(m, 9, &error));  // the plain passwd map
  m.maps[0].plain.size = 1;
  m.maps[0].deltas[0].blob.size = uint64_t{1} << 63;
  EXPECT_FALSE(within_limit(m, 10, &error));  // a delta
  EXPECT_NE(error.find("passwd.from-6.zst"), std::string::npos) << error;
}

TEST(Manifest, RefusesAnythingElse) {
  auto replace = [](std::string from, std::string to) {
    std::string s = good();
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const std::vector<std::pair<const char *, std::string>> cases = {
      {"other version", replace("vesk-manifest 1", "vesk-manifest 2")},
      {"no trailing newline", good().substr(0, good().size() - 1)},
      {"generation 0", replace("generation 7", "generation 0")},
      {"leading zero", replace("generation 7", "generation 07")},
      {"second generation", good() + "generation 8\n"},
      {"30 February", replace("2026-12-09", "2026-02-30")},
      {"local time", replace("15:44:27Z", "15:44:27+01")},
      {"upper-case hash", replace("size 10 records 1 sha256 " + kHash,
                                  "size 10 records 1 sha256 " + std::string(64, 'A'))},
      {"short hash", replace("size 4 records 1 sha256 " + kHash, "size 4 records 1 sha256 abc")},
      {"map twice", good() + "map group size 4 records 1 sha256 " + kHash + "\n"},
      {"keys map twice", good() + "map keys size 4 records 1 sha256 " + kHash + "\n" +
                             "map keys size 4 records 1 sha256 " + kHash + "\n"},
      {"keys but no group", replace("map group size 4 records 1 sha256 " + kHash + "\n",
                                    "map keys size 4 records 1 sha256 " + kHash + "\n")},
      {"unknown map", good() + "map shadow size 4 records 1 sha256 " + kHash + "\n"},
      {"no group", replace("map group size 4 records 1 sha256 " + kHash + "\n", "")},
      {"zst before its map",
       "vesk-manifest 1\ngeneration 7\ncreated 2026-12-09T15:44:27Z\nzst passwd size 5 sha256 " +
           kHash + "\nmap passwd size 10 records 1 sha256 " + kHash +
           "\nmap group size 4 records 1 sha256 " + kHash + "\n"},
      {"delta not older", replace("from 6", "from 7")},
      {"delta twice", good() + "delta passwd from 6 size 3 sha256 " + kHash + "\n"},
      {"unknown line", good() + "valid-until 2027-01-01T00:00:00Z\n"},
      {"double space", replace("generation 7", "generation  7")},
      {"trailing space", replace("generation 7", "generation 7 ")},
      {"size beyond 64 bits", replace("size 10", "size 99999999999999999999")},
      {"upper-case channel", replace("created 2026-12-09T15:44:27Z\n",
                                     "created 2026-12-09T15:44:27Z\nchannel Staging\n")},
      {"two channels", good() + "channel a\nchannel b\n"},
      {"short key", replace("created 2026-12-09T15:44:27Z\n",
                            "created 2026-12-09T15:44:27Z\nkey 0123\n")},
  };
  for (const auto &[what, text] : cases) {
    Manifest m;
    std::string error;
    EXPECT_FALSE(parse_manifest(text, &m, &error)) << what;
  }
}

TEST(Codec, DeltaNeedsItsReference) {
  std::string old_map, new_map;
  for (int i = 0; i < 20000; ++i) {
    std::string line = "u" + std::to_string(i) + ":x:" + std::to_string(20000 + i) +
                       ":20000:User " + std::to_string(i * 7919 % 100003) + ":/home:/bin/sh\n";
    old_map += line;
    new_map += i % 1000 == 0 ? "changed" + line : line;
  }
  std::string delta, full, out, error;
  // Into a buffer of exactly the size asked for, as fetch decodes into a
  // file of the signed size.
  auto decompress = [](const std::string &frame, const std::string &reference, size_t size,
                       std::string *result, std::string *why) {
    result->assign(size, '\0');
    return decompress_into(frame, reference, result->data(), size, why);
  };
  ASSERT_TRUE(compress(new_map, old_map, 3, &delta, &error)) << error;
  ASSERT_TRUE(compress(new_map, "", 3, &full, &error)) << error;
  EXPECT_LT(delta.size() * 20, full.size());  // the delta holds little more than the changes

  ASSERT_TRUE(decompress(delta, old_map, new_map.size(), &out, &error)) << error;
  EXPECT_EQ(out, new_map);
  ASSERT_TRUE(decompress(full, "", new_map.size(), &out, &error)) << error;
  EXPECT_EQ(out, new_map);

  // Another reference, another size, a frame cut short or followed by
  // more: never the signed map.
  std::string other = old_map;
  other[100] = '#';
  EXPECT_FALSE(decompress(delta, other, new_map.size(), &out, &error) && out == new_map);
  EXPECT_FALSE(decompress(full, "", new_map.size() - 1, &out, &error));
  EXPECT_FALSE(decompress(full, "", new_map.size() + 1, &out, &error));
  EXPECT_FALSE(decompress(full.substr(0, full.size() - 4), "", new_map.size(), &out, &error));
  EXPECT_FALSE(decompress(full + full, "", new_map.size(), &out, &error));
}

}  // namespace
}  // namespace vesk::fetch
