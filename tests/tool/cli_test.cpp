// The command line every program of the tool shares: each command takes
// the common options its help lists, --help and --version, says what is
// wrong as "vesk-index: COMMAND: ...", and reports a mistake in the
// configuration file without the usage text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "tool_runner.h"

namespace vesk_test {
namespace {

TEST(ToolCommandLine, EveryCommandTakesTheCommonOptions) {
  TempDir dir;
  const std::string bad_config = dir.file("bad.conf");
  write_file(bad_config, "[policy]\nmin_uid = 1000\nmin_giid = 5\n");
  const std::string config = dir.file("good.conf");
  write_file(config, "");
  const std::vector<std::vector<std::string>> common = {
      {"--passwd", dir.file("p")}, {"--group", dir.file("g")}, {"--config", config},
      {"--min-uid", "1000"},       {"--min-gid", "1000"},      {"--allow-gid", "27"}};
  for (std::string command : {"build", "check", "install", "status", "sync", "publish", "fetch"}) {
    SCOPED_TRACE(command);
    ToolRun help = run_tool({command, "--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    for (const auto &option : common) {
      // Listed by the help, and taken (--version then ends the run).
      EXPECT_NE(help.out.find(option[0]), std::string::npos) << help.out;
      ToolRun run = run_tool({command, option[0], option[1], "--version"});
      EXPECT_EQ(run.status, 0) << option[0] << ": " << run.err;
      EXPECT_NE(run.out.find(" (nss-vesk) "), std::string::npos) << run.out;
    }
    ToolRun id = run_tool({command, "--min-uid", "x"});
    EXPECT_EQ(id.status, 2);
    EXPECT_NE(id.err.find("vesk-index: " + command + ": --min-uid: not an id: x\n"),
              std::string::npos) << id.err;
    EXPECT_NE(id.err.find("Usage:"), std::string::npos) << id.err;
    // The command line was right: no usage text.
    std::vector<std::string> args = {command, "--config", bad_config};
    if (command == "publish") args.push_back(dir.file("out"));
    ToolRun conf = run_tool(args);
    EXPECT_EQ(conf.status, 2) << conf.out;
    EXPECT_NE(conf.err.find("bad.conf:3: unknown key \"min_giid\" in [policy]"), std::string::npos)
        << conf.err;
    EXPECT_EQ(conf.err.find("Usage:"), std::string::npos) << conf.err;
  }
}

}  // namespace
}  // namespace vesk_test
