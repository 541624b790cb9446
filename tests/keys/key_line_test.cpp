// The judge of key lines: what reaches sshd must be a key of a known type
// whose data is that type's key, with no option the configuration does not
// allow.
#include <gtest/gtest.h>

#include "keys/key_line.h"
#include "keys_samples.h"

namespace {

using namespace vesk::keys;
using namespace keys_test;

struct Case {
  const char *what;
  std::string key;
  std::vector<std::string> allowed;
  bool accepted;
  const char *reason_has;  // a word of the reason when refused
};

std::string ed_blob(size_t pk_len = 32) { return wire("ssh-ed25519") + wire(std::string(pk_len, 'k')); }

std::vector<Case> cases() {
  std::string sk_ed = wire("sk-ssh-ed25519@openssh.com") + wire(std::string(32, 'k')) + wire("ssh:");
  std::string sk_ec = wire("sk-ecdsa-sha2-nistp256@openssh.com") + wire("nistp256") +
                      wire("\x04" + std::string(64, 'p')) + wire("ssh:");
  std::string ec_wrong_curve = wire("ecdsa-sha2-nistp256") + wire("nistp384") + wire("\x04" + std::string(64, 'p'));
  std::string ec_compressed = wire("ecdsa-sha2-nistp256") + wire("nistp256") + wire("\x02" + std::string(64, 'p'));
  std::string rsa_even_e = wire("ssh-rsa") + wire(std::string("\x01\x00", 2)) + wire("\x00\xc0" + std::string(255, 'n'));
  std::string rsa_huge = wire("ssh-rsa") + wire(std::string("\x01\x00\x01", 3)) + wire(std::string(1, '\0') + "\xc0" + std::string(2048, 'n'));
  std::string ed = kEd25519 + " alice@laptop";
  return {
      {"ed25519 with a comment", ed, {}, true, ""},
      {"ed25519, comment with blanks", kEd25519 + " alice  at work", {}, true, ""},
      {"rsa 2048", kRsa2048, {}, true, ""},
      {"ecdsa 256", kEcdsa256, {}, true, ""},
      {"ecdsa 384", kEcdsa384, {}, true, ""},
      {"ecdsa 521", kEcdsa521, {}, true, ""},
      {"sk ed25519", key_text("sk-ssh-ed25519@openssh.com", sk_ed), {}, true, ""},
      {"sk ecdsa", key_text("sk-ecdsa-sha2-nistp256@openssh.com", sk_ec), {}, true, ""},
      {"rsa 1024: too small", kRsa1024, {}, false, "modulus"},
      {"rsa with 16 Kbit and more", key_text("ssh-rsa", rsa_huge), {}, false, "modulus"},
      {"rsa with an even exponent", key_text("ssh-rsa", rsa_even_e), {}, false, "exponent"},
      {"dsa", "ssh-dss " + base64(wire("ssh-dss") + wire("x")), {}, false, "unknown key type"},
      {"a certificate", "ssh-ed25519-cert-v01@openssh.com AAAA", {}, false, "unknown key type"},
      {"type names another type", "ssh-rsa " + base64(ed_blob()), {}, false, "does not name"},
      {"ed25519 key of 31 bytes", key_text("ssh-ed25519", ed_blob(31)), {}, false, "32-byte"},
      {"trailing data in the blob", key_text("ssh-ed25519", ed_blob() + "x"), {}, false, "trailing"},
      {"length beyond the blob", "ssh-ed25519 " + base64(ed_blob().substr(0, 40)), {}, false, "32-byte"},
      {"wrong curve", key_text("ecdsa-sha2-nistp256", ec_wrong_curve), {}, false, "curve"},
      {"compressed point", key_text("ecdsa-sha2-nistp256", ec_compressed), {}, false, "point"},
      {"sk without application", key_text("sk-ssh-ed25519@openssh.com", wire("sk-ssh-ed25519@openssh.com") + wire(std::string(32, 'k'))), {}, false, "application"},
      {"base64 with a bad byte", "ssh-ed25519 AAAA*AAA", {}, false, "decode"},
      {"base64 not whole groups", kEd25519.substr(0, kEd25519.size() - 1), {}, false, "decode"},
      {"base64 with bits left over", "ssh-ed25519 " + base64(ed_blob()).substr(0, 66) + "B=", {}, false, "decode"},
      {"no base64", "ssh-ed25519", {}, false, "decode"},
      {"empty", "", {}, false, "no key"},
      {"control character", ed + "\r", {}, false, "control"},
      {"longer than the bound", kEd25519 + " " + std::string(kMaxKeyText, 'c'), {}, false, "longer"},
      {"command= not allowed", "command=\"/bin/true\" " + ed, {}, false, "not allowed"},
      {"command= allowed", "command=\"/bin/true\" " + ed, {"command"}, true, ""},
      {"option names ignore case", "Command=\"/bin/true\" " + ed, {"command"}, true, ""},
      {"one of two allowed", "no-pty,from=\"10.0.0.0/8\" " + ed, {"no-pty"}, false, "from"},
      {"both allowed", "no-pty,from=\"10.0.0.0/8\" " + ed, {"no-pty", "from"}, true, ""},
      {"quoted blanks, commas and quotes", "command=\"echo \\\"a, b\\\" c\",no-pty " + ed, {"command", "no-pty"}, true, ""},
      {"a quoted blank hides no option", "from=\"x environment=\\\"A=1\\\"\" " + ed, {"from"}, true, ""},
      {"unterminated quote", "command=\"/bin/true " + ed, {"command"}, false, "closing quote"},
      {"unquoted value", "command=/bin/true " + ed, {"command"}, false, "quoted"},
      {"empty option", "no-pty,,no-pty " + ed, {"no-pty"}, false, "malformed"},
      {"unknown option", "no-pty,frobnicate " + ed, {"no-pty", "frobnicate"}, false, "unknown option"},
      {"a bare unknown word", "frobnicate " + ed, {"frobnicate"}, false, "unknown key type"},
      {"options without a key", "no-pty", {"no-pty"}, false, "without a key"},
      {"environment= not allowed", "environment=\"LD_PRELOAD=/tmp/x\" " + ed, {"command"}, false, "environment"},
  };
}

TEST(KeyLine, Judge) {
  for (const Case &c : cases()) {
    KeyParts parts;
    std::string reason;
    bool ok = judge_key(c.key, c.allowed, &parts, &reason);
    EXPECT_EQ(ok, c.accepted) << c.what << ": " << reason;
    if (!c.accepted) {
      EXPECT_NE(reason.find(c.reason_has), std::string::npos) << c.what << ": " << reason;
    }
  }
}

TEST(KeyLine, OptionsAreParsedAsSshdReadsThem) {
  KeyParts parts;
  std::string reason;
  // The parts are views into the key: it must outlive them.
  const std::string key = "command=\"echo \\\"a, b\\\" c\",No-Pty " + kEd25519 + " c o m";
  ASSERT_TRUE(judge_key(key, {"command", "no-pty"}, &parts, &reason)) << reason;
  ASSERT_EQ(parts.options.size(), 2u);
  EXPECT_EQ(parts.options[0].name, "command");
  EXPECT_EQ(parts.options[0].value, "echo \"a, b\" c");
  EXPECT_EQ(parts.options[1].name, "no-pty");
  EXPECT_FALSE(parts.options[1].has_value);
  EXPECT_EQ(parts.type, "ssh-ed25519");
  EXPECT_EQ(parts.comment, "c o m");
}

TEST(KeyLine, SplitMapLine) {
  struct {
    std::string line;
    bool ok;
    std::string user;
    uint32_t uid;
  } table[] = {
      {"alice:1001:" + kEd25519, true, "alice", 1001},
      {"alice:4294967295:x", true, "alice", 4294967295u},
      {"alice:4294967296:x", false, "", 0},
      {"alice:01001:x", false, "", 0},
      {"alice:-1:x", false, "", 0},
      {"alice::x", false, "", 0},
      {":1001:x", false, "", 0},
      {"al ice:1001:x", false, "", 0},
      {"alice:1001", false, "", 0},
      {"alice " + kEd25519, false, "", 0},
  };
  for (const auto &t : table) {
    MapLine m;
    std::string reason;
    EXPECT_EQ(split_map_line(t.line, &m, &reason), t.ok) << t.line;
    if (t.ok) {
      EXPECT_EQ(m.user, t.user);
      EXPECT_EQ(m.uid, t.uid);
    }
  }
}

}  // namespace
