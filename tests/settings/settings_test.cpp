#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/app_core.h"
#include "core/build_profile.h"
#include "platform/fault_points.h"
#include "settings/settings.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::log_contains;
using testing_support::make_core;
using testing_support::read_file;
using testing_support::scratch_folder;
using testing_support::write_file;
namespace fs = std::filesystem;

AppSettings decode_or_defaults(std::string_view text) {
  return decode_settings(text).value_or(AppSettings{});
}

TEST(SettingsDecode, ObjectWithOnlyNameKeepsEveryOtherDefault) {
  auto s = decode_settings(R"({"miner_name":"rig-7"})");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->miner_name, "rig-7");
  AppSettings expected;
  expected.miner_name = "rig-7";
  EXPECT_EQ(*s, expected);
}

TEST(SettingsDecode, ArrayFormWithEveryFieldPresent) {
  auto s = decode_settings(R"(["rig", "C:\\m.exe", "out.yaml", ["D:\\a", "E:\\b"], 300, false, false,
      ["Pool", "https", "h", 8443, "none", "pool", 60],
      [2000, 7000, false, -5, 32, false, 4, false]])");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->miner_name, "rig");
  EXPECT_EQ(s->miner_exe_path, "C:\\m.exe");
  EXPECT_EQ(s->config_output_path, "out.yaml");
  EXPECT_EQ(s->plot_dirs, (std::vector<std::string>{"D:\\a", "E:\\b"}));
  EXPECT_EQ(s->plot_rescan_interval_secs, 300u);
  EXPECT_FALSE(s->auto_detect_new_plots);
  EXPECT_FALSE(s->auto_restart_on_new_plots);
  EXPECT_EQ(s->chain, (ChainSettings{"Pool", "https", "h", 8443, "none", "pool", 60}));
  EXPECT_EQ(s->miner, (MinerSettings{2000, 7000, false, -5, 32, false, 4, false}));
}

TEST(SettingsDecode, ArrayFormFillsFieldsInOrderAndDefaultsTheRest) {
  auto s = decode_settings(R"(["rig", "", "miner_config.yaml", ["D:\\plots"]])");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->miner_name, "rig");
  EXPECT_EQ(s->plot_dirs, std::vector<std::string>{"D:\\plots"});
  EXPECT_EQ(s->plot_rescan_interval_secs, 7200u);
  EXPECT_TRUE(s->auto_detect_new_plots);
}

TEST(SettingsDecode, NestedRecordsReadAsObjectsOrArrays) {
  auto s = decode_settings(
      R"({"chain": {"rpc_host": "evil.example", "rpc_port": 8443, "extra": 1},
          "miner": [1, 2, false, -40]})");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->chain.rpc_host, "evil.example");
  EXPECT_EQ(s->chain.rpc_port, 8443);
  EXPECT_EQ(s->chain.name, "Qubo-VORN Pool");  // absent key: default
  EXPECT_EQ(s->miner.get_mining_info_interval, 1u);
  EXPECT_EQ(s->miner.timeout, 2u);
  EXPECT_FALSE(s->miner.hdd_use_direct_io);
  EXPECT_EQ(s->miner.hdd_wakeup_after, -40);
  EXPECT_EQ(s->miner.hdd_read_cache_in_warps, 16u);
}

TEST(SettingsDecode, UnknownKeysAreSkippedEvenWhenRepeated) {
  auto s = decode_settings(R"({"future": 1, "future": {"x": [1,2]}, "miner_name": "a"})");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->miner_name, "a");
  // Only a record's own keys must be unique: the same names inside objects
  // that no record reads are skipped like any unknown value.
  const char* skipped[] = {
      R"({"future": {"timeout": 1, "timeout": 2}})",
      R"({"future": {"rpc_port": 1, "rpc_port": 2}})",
      R"({"chain": {"miner": {"timeout": 1, "timeout": 2}}})",
      R"({"miner": {"chain": {"rpc_port": 1, "rpc_port": 2}}})",
      R"(["a", "", "", [], 60, true, true, {"future": {"name": 1, "name": 2}}])",
  };
  for (const char* text : skipped) EXPECT_TRUE(decode_settings(text)) << text;
}

TEST(SettingsDecode, NumbersAtTheLimitsOfTheirFields) {
  auto s = decode_settings(R"({"chain": {"rpc_port": 65535}, "miner": {"hdd_wakeup_after": 9223372036854775807}})");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->chain.rpc_port, 65535);
  EXPECT_EQ(s->miner.hdd_wakeup_after, INT64_MAX);
  s = decode_settings(R"({"miner": {"hdd_wakeup_after": 12}})");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->miner.hdd_wakeup_after, 12);
}

TEST(SettingsDecode, InvalidInputGivesNothing) {
  const char* cases[] = {
      "",                                                  // no value
      "{",                                                 // truncated
      R"({"miner_name": "a"} x)",                          // trailing text
      R"({"miner_name": "a"}{})",                          // a second value
      "\xEF\xBB\xBF{}",                                    // byte-order mark
      R"({"miner_name": "a", "miner_name": "b"})",         // duplicate key
      R"({"chain": {"rpc_port": 1, "rpc_port": 2}})",      // duplicate nested key
      R"({"miner": {"timeout": 1, "timeout": 2}})",        // duplicate key of the miner record
      R"(["a", "", "", [], 60, true, true, {}, {"timeout": 1, "timeout": 2}])",  // the same in array form
      "\xEF\xBB",                                            // the start of a byte-order mark only
      R"(["a", "", "", [], 60, true, true, {"name":"x","name":"y"}])",  // duplicate in array form
      R"({"chain": {"rpc_port": 65536}})",                 // port out of range
      R"({"plot_rescan_interval_secs": -1})",              // negative unsigned
      R"({"plot_rescan_interval_secs": 1.5})",             // fraction
      R"({"plot_rescan_interval_secs": 18446744073709551616})",  // beyond 64 bits
      R"({"miner": {"hdd_wakeup_after": 9223372036854775808}})",  // beyond i64
      R"({"miner_name": 5})",                              // wrong type
      R"({"miner_name": null})",                           // null is not a text
      R"({"plot_dirs": ["a", 1]})",                        // wrong item type
      R"({"plot_dirs": "D:\\plots"})",                    // one folder, not a list of them
      R"({"auto_detect_new_plots": "yes"})",               // text for a flag
      R"(["a","","",[],60,true,true,{},{},"extra"])",      // more elements than fields
      "42",                                                // not a record
      "\"text\"",
      "{\"miner_name\": \"\xff\"}",                        // invalid UTF-8
  };
  for (const char* text : cases) {
    EXPECT_FALSE(decode_settings(text)) << text;
  }
}

TEST(SettingsDecode, EveryByteCountsIncludingThoseAfterANul) {
  const std::string valid = R"({"miner_name": "a"})";
  EXPECT_TRUE(decode_settings(valid));
  EXPECT_FALSE(decode_settings(valid + std::string(1, '\0') + "garbage"));
  EXPECT_FALSE(decode_settings(valid + std::string(1, '\0')));
  EXPECT_FALSE(decode_settings(std::string(1, '\0') + valid));
}

TEST(SettingsDecode, NestingAndSizeLimits) {
  // 128 levels of brackets are read (here inside an ignored key), 129 are not.
  auto nested = [](int levels) {
    return "{\"x\": " + std::string(static_cast<std::size_t>(levels - 1), '[') +
           std::string(static_cast<std::size_t>(levels - 1), ']') + "}";
  };
  EXPECT_TRUE(decode_settings(nested(128)));
  EXPECT_FALSE(decode_settings(nested(129)));
  // Brackets inside strings do not count, nor do escaped quotes end them.
  EXPECT_TRUE(decode_settings("{\"miner_name\": \"\\\"" + std::string(1000, '[') + "\"}"));
  // A million values are read; more are refused before any is built.
  auto values = [](std::size_t n) {
    std::string text = "{\"x\": [";
    for (std::size_t i = 0; i < n; ++i) text += i ? ",0" : "0";
    return text + "]}";
  };
  EXPECT_TRUE(decode_settings(values(999'999)));  // with the object, a million values
  EXPECT_FALSE(decode_settings(values(1'000'000)));
  // The same when the last value counted is an opening bracket.
  auto ending_in_a_list = [](std::size_t n) {
    std::string text = "{\"x\": [";
    for (std::size_t i = 3; i < n; ++i) text += "0,";
    return text + "[]]}";
  };
  EXPECT_TRUE(decode_settings(ending_in_a_list(1'000'000)));
  EXPECT_FALSE(decode_settings(ending_in_a_list(1'000'001)));
  // Closed brackets give their level back: many lists side by side are fine.
  std::string siblings = "{\"x\": [";
  for (int i = 0; i < 300; ++i) siblings += i ? ",[[]]" : "[[]]";
  EXPECT_TRUE(decode_settings(siblings + "]}"));
  // A string that ends in an escaped backslash ends at its quote: brackets
  // after it count again.
  EXPECT_FALSE(decode_settings("{\"miner_name\": \"a\\\\\", \"x\": " + std::string(128, '[') +
                               std::string(128, ']') + "}"));
  EXPECT_FALSE(decode_settings(std::string(10u << 20, '[')));
}

TEST(SettingsDecode, JsonWhiteSpaceAroundTheValueIsFine) {
  EXPECT_TRUE(decode_settings(" \t\r\n{\"miner_name\": \"a\"}\r\n\t "));
  EXPECT_FALSE(decode_settings("{}\f"));  // form feed is not JSON white space
}

TEST(SettingsDecode, HugeAndDeeplyNestedInputDoesNotCrash) {
  std::string deep(200000, '[');
  EXPECT_FALSE(decode_settings(deep));
  std::string big = "{\"miner_name\": \"" + std::string(50u << 20, 'x') + "\"}";
  auto s = decode_settings(big);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->miner_name.size(), 50u << 20);
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>(i * 37);
  EXPECT_FALSE(decode_settings(binary));
}

TEST(SettingsNormalize, FixesProfileValuesAndTheLeastInterval) {
  AppSettings s = decode_or_defaults(
      R"({"config_output_path": "x.yaml", "auto_restart_on_new_plots": false,
          "chain": {"rpc_host": "other.example"}, "plot_rescan_interval_secs": 30})");
  normalize_settings(s);
  EXPECT_EQ(s.config_output_path, "miner_config.mainnet.gui.yaml");
  EXPECT_TRUE(s.auto_restart_on_new_plots);
  EXPECT_EQ(s.chain, ChainSettings::profile_defaults());
  EXPECT_EQ(s.chain.name, kProfile.pool_name);
  EXPECT_EQ(s.chain.rpc_transport, kProfile.pool_transport);
  EXPECT_EQ(s.chain.rpc_host, kProfile.pool_host);
  EXPECT_EQ(s.chain.rpc_port, kProfile.pool_port);
  EXPECT_EQ(s.chain.rpc_auth_type, kProfile.pool_auth_type);
  EXPECT_EQ(s.chain.submission_mode, kProfile.submission_mode);
  EXPECT_EQ(s.chain.block_time_seconds, kProfile.block_time_seconds);
  EXPECT_EQ(s.plot_rescan_interval_secs, 60u);
  for (auto [given, kept] : {std::pair{0, 60}, {60, 60}, {61, 61}, {7200, 7200}}) {
    s.plot_rescan_interval_secs = given;
    normalize_settings(s);
    EXPECT_EQ(s.plot_rescan_interval_secs, static_cast<std::uint64_t>(kept));
  }
}

TEST(SettingsEncode, WritesTheFiveKeysInTheirLayout) {
  AppSettings s;
  s.miner_name = "Rig \"A\"";
  s.plot_dirs = {"D:\\plots", "E:\\more plots"};
  EXPECT_EQ(encode_settings(s),
            "{\n"
            "  \"miner_name\": \"Rig \\\"A\\\"\",\n"
            "  \"plot_dirs\": [\n"
            "    \"D:\\\\plots\",\n"
            "    \"E:\\\\more plots\"\n"
            "  ],\n"
            "  \"plot_rescan_interval_secs\": 7200,\n"
            "  \"auto_detect_new_plots\": true,\n"
            "  \"auto_restart_on_new_plots\": true\n"
            "}");
  s.plot_dirs.clear();
  s.miner_name = "矿工";
  EXPECT_NE(encode_settings(s).find("\"plot_dirs\": [],\n"), std::string::npos);
  EXPECT_NE(encode_settings(s).find("\"miner_name\": \"矿工\""), std::string::npos);
}

TEST(SettingsEncode, RoundTripsThroughDecode) {
  AppSettings s;
  s.miner_name = "tab\tnew\nline \x01 end";
  s.plot_dirs = {"/mnt/a", "C:\\b\\", "ü"};
  s.plot_rescan_interval_secs = 123456;
  s.auto_detect_new_plots = false;
  auto back = decode_settings(encode_settings(s));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->miner_name, s.miner_name);
  EXPECT_EQ(back->plot_dirs, s.plot_dirs);
  EXPECT_EQ(back->plot_rescan_interval_secs, 123456u);
  EXPECT_FALSE(back->auto_detect_new_plots);
}

TEST(SettingsLegacyProbe, ReadsOnlyATextConfigOutputPathOfAnObject) {
  EXPECT_EQ(legacy_config_output_path(R"({"config_output_path": "D:\\x.yaml"})"), "D:\\x.yaml");
  EXPECT_FALSE(legacy_config_output_path(R"({"config_output_path": 3})"));
  EXPECT_FALSE(legacy_config_output_path(R"(["a", "", "x.yaml"])"));
  EXPECT_FALSE(legacy_config_output_path(R"({"config_output_path": "x"} trailing)"));
}

class SettingsFile : public ::testing::Test {
 protected:
  std::string folder = scratch_folder("settings_file");
  AppCore core = make_core(folder);
};

TEST_F(SettingsFile, MissingFileLoadsDefaults) {
  EXPECT_EQ(load_settings(core.settings_path), AppSettings{});
}

TEST_F(SettingsFile, SaveWritesTheFileAndLogs) {
  core.settings.miner_name = "rig";
  core.settings.plot_rescan_interval_secs = 10;
  ASSERT_TRUE(save_settings(core));
  EXPECT_TRUE(log_contains(core, "Settings saved."));
  AppSettings loaded = load_settings(core.settings_path);
  EXPECT_EQ(loaded.miner_name, "rig");
  EXPECT_EQ(loaded.plot_rescan_interval_secs, 60u);
  EXPECT_FALSE(testing_support::exists(core.settings_path + ".tmp"));
}

TEST_F(SettingsFile, ValuesThatAreNeverWrittenDisappearAtTheFirstSave) {
  write_file(core.settings_path,
             R"({"miner_name":"x","miner_exe_path":"C:\\m.exe","chain":{"name":"other"},
                 "miner":{"timeout":1}})");
  core.settings = load_settings(core.settings_path);
  ASSERT_TRUE(save_settings(core));
  std::string text = read_file(core.settings_path);
  EXPECT_EQ(text.find("miner_exe_path"), std::string::npos);
  EXPECT_EQ(text.find("chain"), std::string::npos);
  EXPECT_EQ(text.find("timeout"), std::string::npos);
  EXPECT_EQ(core.settings.miner_exe_path, "C:\\m.exe");  // still used in memory
}

TEST_F(SettingsFile, FailedSaveKeepsTheOldFileAndReportsTheError) {
  write_file(core.settings_path, "{\"miner_name\": \"old\"}");
  std::string blocker = core.settings_path;
  // The settings path is a folder: nothing can replace it.
  core.settings_path = folder;
  core.settings.miner_name = "new";
  EXPECT_FALSE(save_settings(core));
  ASSERT_TRUE(core.last_error);
  EXPECT_EQ(core.miner_state, MinerState::Error);
  EXPECT_TRUE(log_contains(core, "Failed to save settings: " + *core.last_error));
  EXPECT_NE(core.last_error->find("(os error "), std::string::npos);
  EXPECT_EQ(read_file(blocker), "{\"miner_name\": \"old\"}");
  EXPECT_FALSE(testing_support::exists(folder + ".tmp"));  // the new text, written first, is removed
}

TEST_F(SettingsFile, ReadOnlyFileIsNotReplaced) {
  write_file(core.settings_path, "{}");
  fs::permissions(fs::u8path(core.settings_path),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  core.settings.miner_name = "new";
  EXPECT_FALSE(save_settings(core));
#ifdef _WIN32
  const std::string code = "(os error 5)";
#else
  const std::string code = "(os error 13)";
#endif
  ASSERT_TRUE(core.last_error);
  EXPECT_NE(core.last_error->find(code), std::string::npos) << *core.last_error;
  EXPECT_TRUE(log_contains(core, "Failed to save settings: " + *core.last_error));
  EXPECT_EQ(read_file(core.settings_path), "{}");
  EXPECT_FALSE(testing_support::exists(core.settings_path + ".tmp"));
  fs::permissions(fs::u8path(core.settings_path), fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(SettingsFile, UndecodableFileIsCopiedBeforeTheFirstSaveReplacesIt) {
  const std::string broken = "{\"plot_dirs\": [\"D:\\\\plots\"], oops";
  write_file(core.settings_path, broken);
  core.undecodable_settings_file = core.settings_path;
  ASSERT_TRUE(save_settings(core));
  EXPECT_EQ(read_file(core.settings_path + ".invalid.bak"), broken);
  EXPECT_TRUE(log_contains(core, "Kept a copy of the unreadable settings file: " +
                                     core.settings_path + ".invalid.bak"));
  EXPECT_FALSE(core.undecodable_settings_file);
  // Only once: the next save does not copy the new file over the old copy.
  ASSERT_TRUE(save_settings(core));
  EXPECT_EQ(read_file(core.settings_path + ".invalid.bak"), broken);
  // A file broken again later was written by somebody else since the save:
  // it is kept as a changed file, and the first copy stays as it was.
  const std::string broken_again = "{\"miner_name\": oops again";
  write_file(core.settings_path, broken_again);
  ASSERT_TRUE(save_settings(core));
  EXPECT_EQ(read_file(core.settings_path + ".invalid.bak"), broken);
  EXPECT_EQ(read_file(core.settings_path + ".changed.bak"), broken_again);
  EXPECT_FALSE(testing_support::exists(core.settings_path + ".invalid.1.bak"));
}

TEST_F(SettingsFile, NothingToKeepWhenTheUnreadableFileIsGoneOrReadableAgain) {
  core.undecodable_settings_file = core.settings_path;  // it was, at start-up
  ASSERT_TRUE(save_settings(core)) << *core.last_error;
  EXPECT_FALSE(core.undecodable_settings_file);
  EXPECT_FALSE(testing_support::exists(core.settings_path + ".invalid.bak"));

}

TEST_F(SettingsFile, AFileFixedByHandAfterAFailedLoadIsKeptBeforeTheSaveReplacesIt) {
  // It did not decode at start-up, so the program runs with the defaults;
  // meanwhile the operator fixes the file, folders and all.
  core.undecodable_settings_file = core.settings_path;
  const std::string fixed = R"({"miner_name": "fixed by hand", "plot_dirs": ["D:\\plots"]})";
  write_file(core.settings_path, fixed);
  ASSERT_TRUE(save_settings(core)) << *core.last_error;
  EXPECT_FALSE(core.undecodable_settings_file);
  EXPECT_FALSE(testing_support::exists(core.settings_path + ".invalid.bak"));
  EXPECT_EQ(read_file(core.settings_path + ".changed.bak"), fixed);
  EXPECT_TRUE(log_contains(core, "Kept a copy of the settings file changed outside the program: " +
                                     core.settings_path + ".changed.bak"));
  // What this program saved itself is replaced without a copy.
  const std::size_t lines = core.log_lines.size();
  core.settings.miner_name = "again";
  ASSERT_TRUE(save_settings(core));
  EXPECT_EQ(core.log_lines.size(), lines + 1);
  EXPECT_EQ(read_file(core.settings_path + ".changed.bak"), fixed);
}

TEST_F(SettingsFile, AFileChangedWhileTheProgramRunsIsKeptAndOnlyThen) {
  const std::string loaded = R"({"miner_name": "as loaded"})";
  write_file(core.settings_path, loaded);
  core.settings = *decode_settings(loaded);
  core.settings_file_bytes = loaded;  // as start-up records it
  ASSERT_TRUE(save_settings(core));  // the file as it was loaded: nothing to keep
  EXPECT_FALSE(testing_support::exists(core.settings_path + ".changed.bak"));
  const std::string copied_in = R"({"miner_name": "from the other rig"})";
  write_file(core.settings_path, copied_in);
  ASSERT_TRUE(save_settings(core));
  EXPECT_EQ(read_file(core.settings_path + ".changed.bak"), copied_in);
  EXPECT_EQ(load_settings(core.settings_path).miner_name, "as loaded") << "the window's settings are saved";
  // A copy that cannot be made stops the save, as for an unreadable file.
  write_file(core.settings_path, copied_in + " ");
  fs::remove(fs::u8path(core.settings_path + ".changed.bak"));
  platform::arm_fault("file-write");
  EXPECT_FALSE(save_settings(core));
  EXPECT_EQ(*core.last_error, "could not keep a copy of the settings file changed outside the program at " +
                                  core.settings_path + ".changed.bak: injected failure at file-write");
  EXPECT_EQ(read_file(core.settings_path), copied_in + " ");
}

TEST_F(SettingsFile, ACopyNameThatIsTakenGivesWayToTheNextFreeOne) {
  const std::string broken = "{oops";
  write_file(core.settings_path, broken);
  core.undecodable_settings_file = core.settings_path;
  fs::create_directory(fs::u8path(core.settings_path + ".invalid.bak"));  // cannot be replaced
  ASSERT_TRUE(save_settings(core)) << *core.last_error;
  EXPECT_EQ(read_file(core.settings_path + ".invalid.1.bak"), broken);
  EXPECT_TRUE(log_contains(core, "Kept a copy of the unreadable settings file: " + core.settings_path + ".invalid.1.bak"));
}

TEST_F(SettingsFile, ACopyThatCannotBeMadeFailsTheSaveUntilItCan) {
  const std::string broken = "{oops";
  write_file(core.settings_path, broken);
  core.undecodable_settings_file = core.settings_path;
  for (int n = 0; n < 100; ++n) {
    fs::create_directory(fs::u8path(core.settings_path + ".invalid" + (n ? "." + std::to_string(n) : "") + ".bak"));
  }
  EXPECT_FALSE(save_settings(core));
  EXPECT_EQ(*core.last_error, "could not keep a copy of the unreadable settings file: every name up to " +
                                  core.settings_path + ".invalid.99.bak is taken");
  EXPECT_EQ(read_file(core.settings_path), broken);  // not replaced without its copy
  EXPECT_TRUE(core.undecodable_settings_file);

  fs::remove(fs::u8path(core.settings_path + ".invalid.42.bak"));  // room again
  ASSERT_TRUE(save_settings(core));
  EXPECT_EQ(read_file(core.settings_path + ".invalid.42.bak"), broken);
  EXPECT_NE(read_file(core.settings_path), broken);
}

TEST_F(SettingsFile, AFailedWriteOfTheNewTextLeavesTheOldFile) {
  const std::string old_text = "{\"miner_name\": \"old\"}";
  const std::string temporary = core.settings_path + ".tmp";
  core.settings.miner_name = "new";
  // The temporary file cannot be created: a folder has its name.
  write_file(core.settings_path, old_text);
  fs::create_directory(fs::u8path(temporary));
  EXPECT_FALSE(save_settings(core));
  EXPECT_NE(core.last_error->find("(os error "), std::string::npos) << *core.last_error;
  EXPECT_EQ(read_file(core.settings_path), old_text);
  fs::remove(fs::u8path(temporary));
#ifndef _WIN32
  // The disk fills up while the new text is written.
  fs::create_symlink("/dev/full", fs::u8path(temporary));
  EXPECT_FALSE(save_settings(core));
  EXPECT_EQ(*core.last_error, "No space left on device (os error 28)");
  EXPECT_EQ(read_file(core.settings_path), old_text);
  EXPECT_FALSE(fs::exists(fs::symlink_status(fs::u8path(temporary))));
#endif
}

TEST_F(SettingsFile, AnUnreadableFileThatCannotBeCopiedIsNotReplaced) {
  const std::string broken = "{oops";
  write_file(core.settings_path, broken);
  // Present but unreadable: a folder stands where the file was.
  const std::string unreadable = folder + "/unreadable.json";
  fs::create_directory(fs::u8path(unreadable));
  core.undecodable_settings_file = unreadable;
  EXPECT_FALSE(save_settings(core));
  EXPECT_EQ(core.last_error->rfind("could not read the unreadable settings file " + unreadable + " to keep a copy: ", 0),
            0u) << *core.last_error;
  EXPECT_EQ(read_file(core.settings_path), broken);
#ifndef _WIN32
  // A copy that fails for another reason than a taken name fails at once,
  // with that reason (here the name is too long for the file system).
  core.settings_path = folder + "/" + std::string(240, 's') + ".json";
  write_file(core.settings_path, broken);
  core.undecodable_settings_file = core.settings_path;
  EXPECT_FALSE(save_settings(core));
  EXPECT_EQ(core.last_error->rfind("could not keep a copy of the unreadable settings file at " + core.settings_path +
                                       ".invalid.bak: ", 0),
            0u) << *core.last_error;
  EXPECT_EQ(read_file(core.settings_path), broken);
#endif
  // A copy that fails while it is written leaves no part of itself behind.
  core.settings_path = folder + "/partial.json";
  write_file(core.settings_path, broken);
  core.undecodable_settings_file = core.settings_path;
  platform::arm_fault("file-write");
  EXPECT_FALSE(save_settings(core));
  EXPECT_EQ(*core.last_error, "could not keep a copy of the unreadable settings file at " + core.settings_path +
                                  ".invalid.bak: injected failure at file-write");
  EXPECT_FALSE(testing_support::exists(core.settings_path + ".invalid.bak"));
  EXPECT_EQ(read_file(core.settings_path), broken);
}

}  // namespace
}  // namespace vorn
