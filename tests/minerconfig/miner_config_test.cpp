#include <gtest/gtest.h>

#include <regex>
#include <yaml.h>

#include <filesystem>

#include "core/build_profile.h"
#include "minerconfig/config_refresh.h"
#include "minerconfig/miner_config.h"
#include "platform/fault_points.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

// The scalar texts of the "plot_dirs" sequence, read with libyaml itself.
std::vector<std::string> plot_dirs_read_back(const std::string& text) {
  yaml_parser_t parser;
  yaml_document_t doc;
  yaml_parser_initialize(&parser);
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::vector<std::string> dirs;
  if (!yaml_parser_load(&parser, &doc)) {
    yaml_parser_delete(&parser);
    ADD_FAILURE() << "not YAML: " << text;
    return dirs;
  }
  yaml_node_t* root = yaml_document_get_root_node(&doc);
  for (yaml_node_pair_t* p = root->data.mapping.pairs.start; p < root->data.mapping.pairs.top; ++p) {
    yaml_node_t* key = yaml_document_get_node(&doc, p->key);
    if (std::string(reinterpret_cast<char*>(key->data.scalar.value)) != "plot_dirs") continue;
    yaml_node_t* seq = yaml_document_get_node(&doc, p->value);
    for (yaml_node_item_t* i = seq->data.sequence.items.start; i < seq->data.sequence.items.top; ++i) {
      yaml_node_t* item = yaml_document_get_node(&doc, *i);
      std::string value(reinterpret_cast<char*>(item->data.scalar.value), item->data.scalar.length);
      // A plain scalar that YAML would resolve to another type is a failure.
      if (item->data.scalar.style == YAML_PLAIN_SCALAR_STYLE) {
        for (const char* other : {"true", "false", "yes", "no", "on", "off", "null", "~", "Yes", "NO", "y", "n"}) {
          EXPECT_NE(value, other) << "written plain: " << value;
        }
        // Anything that starts like a number: a sign, a dot, then a digit.
        EXPECT_FALSE(std::regex_search(value, std::regex("^[-+]?[.]?[0-9]"))) << "written plain: " << value;
      }
      dirs.push_back(value);
    }
  }
  yaml_document_delete(&doc);
  yaml_parser_delete(&parser);
  return dirs;
}

const std::string kGoodChain =
    "chains:\n"
    "- name: Qubo-VORN Pool\n"
    "  rpc_transport: https\n"
    "  rpc_host: pool.qubovorn-net.com\n"
    "  rpc_port: 443\n"
    "  rpc_auth:\n"
    "    type: none\n"
    "  block_time_seconds: 120\n"
    "  submission_mode: pool\n";

const std::string kBlocked = "Miner configuration check failed. Startup blocked for safety. ";

TEST(MinerConfigDocument, HasTheKeysInOrderInBlockStyle) {
  AppSettings s;
  s.plot_dirs = {"D:\\plots"};
  s.miner.hdd_wakeup_after = -5;
  EXPECT_EQ(miner_config_yaml(s).value(),
            kGoodChain +
                "get_mining_info_interval: 1000\n"
                "timeout: 5000\n"
                "plot_dirs:\n"
                "- D:\\plots\n"
                "hdd_use_direct_io: true\n"
                "hdd_wakeup_after: -5\n"
                "hdd_read_cache_in_warps: 16\n"
                "enable_on_the_fly_compression: true\n"
                "cpu_threads: 0\n"
                "cpu_thread_pinning: true\n"
                "show_progress: false\n"
                "line_progress: true\n"
                "benchmark: disabled\n"
                "console_log_level: info\n"
                "logfile_log_level: warn\n");
}

TEST(MinerConfigDocument, AwkwardPathsReadBackAsTheSameText) {
  AppSettings s;
  s.plot_dirs = {"D:\\a: b",      "- leading dash", "#hash",        "a #comment",   "'single'",
                 "\"double\"",    "yes",            "no",           "on",           "off",
                 "true",          "~",              "null",         "123",          "1e3",
                 "0x1F",          ".5",             "&anchor",      "*alias",       "!tag",
                 "|block",        ">fold",          "%directive",   "@at",          "`tick",
                 "",              " padded ",       "ünïcødé 矿",   "C:\\trailing\\", "a\tb",
                 "[x]",           "{y}",            "key: value",   "?q",           std::string(3000, 'p') + "\\end",
                 "+1",            "-5",             "+.5",          "-.5",          "9",
                 ".9",            "+",             "-.",           ".",            "-"};
  std::string text = miner_config_yaml(s).value();
  EXPECT_EQ(plot_dirs_read_back(text), s.plot_dirs);
  EXPECT_EQ(text.find("\\u"), std::string::npos);  // unicode written as UTF-8
  EXPECT_NE(text.find("\n- 'yes'\n- 'no'\n"), std::string::npos) << "quoted, without a tag";
  EXPECT_NE(text.find("\n- ünïcødé 矿\n"), std::string::npos) << "plain where it reads back the same";
  EXPECT_NE(text.find(std::string(3000, 'p')), std::string::npos);  // never folded
  std::string spaced = "E:\\";
  for (int i = 0; i < 20; ++i) spaced += "plot folder ";
  s.plot_dirs = {spaced + "end"};
  EXPECT_NE(miner_config_yaml(s).value().find("\n- " + spaced + "end\n"), std::string::npos)
      << "a long path with blanks stays on one line";
  EXPECT_FALSE(verify_miner_config_text(text));
}

TEST(MinerConfigDocument, EmptyFolderListAndAForeignChain) {
  AppSettings s;
  s.chain.rpc_host = "evil.example";
  s.chain.rpc_port = 8443;
  std::string text = miner_config_yaml(s).value();
  EXPECT_NE(text.find("plot_dirs: []\n"), std::string::npos);
  EXPECT_EQ(text.find("evil"), std::string::npos);
  EXPECT_FALSE(verify_miner_config_text(text));
}

TEST(MinerConfigGate, RefusesEverythingItMust) {
  struct Case {
    std::string text;
    std::string expected;  // the refusal, or a prefix ending in ": "
  };
  const std::string unreadable = kBlocked + "The refreshed file could not be read as a valid miner configuration: ";
  const std::string mismatch = kBlocked + "Pool connection did not match this app.";
  std::string upper = kGoodChain;
  upper.replace(upper.find("https"), 5, "HTTPS");
  std::string no_auth = kGoodChain;
  no_auth.erase(no_auth.find("  rpc_auth:\n"), std::string("  rpc_auth:\n    type: none\n").size());
  std::string no_port = kGoodChain;
  no_port.erase(no_port.find("  rpc_port: 443\n"), std::string("  rpc_port: 443\n").size());
  std::string dup = kGoodChain + "  name: Qubo-VORN Pool\n";
  std::string second_elsewhere = kGoodChain + "- name: Other\n  rpc_host: evil.example\n";
  std::string extra_keys = "extra: 1\n" + kGoodChain + "  more: [1, 2]\n";
  std::string port_text = kGoodChain;
  port_text.replace(port_text.find("443"), 3, "'443'");
  std::string host_list = kGoodChain;
  host_list.replace(host_list.find("pool.qubovorn-net.com"), 21, "[pool.qubovorn-net.com]");
  // The port written the other ways an integer may be: all of them 443.
  std::vector<std::string> port_spellings;
  for (std::string spelling : {"+443", "0443", "0x1bb", "0o673", "0b110111011", "0x1BB", "0xfF", "0xAa", "65535",
                               "0o8", "4g3", "4+3", "65536", "0x1", "+"}) {
    port_spellings.push_back(kGoodChain);
    port_spellings.back().replace(port_spellings.back().find("443"), 3, spelling);
  }
  std::string port_big = kGoodChain;
  port_big.replace(port_big.find("443"), 3, "65979");
  const Case cases[] = {
      {"", unreadable + "EOF while parsing a value"},
      {"---\n", kBlocked + "Pool connection is missing."},
      {"chains: []\n", kBlocked + "Pool connection is missing."},
      {kGoodChain + "---\n" + kGoodChain, unreadable + "deserializing from YAML containing more than one document is not supported"},
      {dup, unreadable + "duplicate field `name`"},
      {upper, mismatch},
      {no_auth, mismatch},
      {no_port, mismatch},
      {port_text, unreadable + "invalid type: string \"443\", expected u16 at line 5 column 13"},
      {host_list, unreadable + "invalid type: a sequence, expected a string at line 4 column 13"},
      {port_big, unreadable + "invalid value: integer `65979`, expected u16 at line 5 column 13"},
      {"~\n", unreadable + "invalid type: plain scalar `~`, expected struct MinerConfigValidationYaml at line 1 column 1"},
      {"chains: {}\n", unreadable + "invalid type: a map, expected a sequence at line 1 column 9"},
      {"chains:\n- [1]\n", unreadable + "invalid type: a sequence, expected struct ChainValidationYaml at line 2 column 3"},
      {"chains: [\n", unreadable + "did not find expected node content at line 2 column 1, while parsing a flow node at line 2 column 1"},
      {"%YAML 1.1\n%YAML 1.1\n---\n", unreadable + "found duplicate %YAML directive at line 2 column 1"},  // no context
      {"---\na: &x [1, *x]\n", unreadable + "recursive alias at line 2 column 11"},
      {"a: *nothing\n", unreadable + "unknown anchor at line 1 column 4"},
      {second_elsewhere, ""},
      {extra_keys, ""},
      {kGoodChain + "  note: a\n  note: b\n", ""},  // unknown keys may repeat
      {kGoodChain, ""},
      {port_spellings[0], ""},
      {port_spellings[1], ""},
      {port_spellings[2], ""},
      {port_spellings[3], ""},
      {port_spellings[4], ""},
      {port_spellings[5], ""},
      {port_spellings[6], mismatch},  // 255, read as a number
      {port_spellings[7], mismatch},  // 170
      {port_spellings[8], mismatch},  // the largest port
      {port_spellings[9], unreadable + "invalid type: plain scalar `0o8`, expected u16 at line 5 column 13"},
      {port_spellings[10], unreadable + "invalid type: plain scalar `4g3`, expected u16 at line 5 column 13"},
      {port_spellings[11], unreadable + "invalid type: plain scalar `4+3`, expected u16 at line 5 column 13"},
      {port_spellings[12], unreadable + "invalid value: integer `65536`, expected u16 at line 5 column 13"},
      {port_spellings[13], mismatch},  // 1, the shortest hexadecimal
      {port_spellings[14], unreadable + "invalid type: plain scalar `+`, expected u16 at line 5 column 13"},
  };
  for (const Case& c : cases) {
    MaybeError result = verify_miner_config_text(c.text);
    if (c.expected.empty()) {
      EXPECT_FALSE(result) << c.text << " -> " << result.value_or("");
    } else if (c.expected.back() == ' ') {
      ASSERT_TRUE(result) << c.text;
      EXPECT_EQ(result->rfind(c.expected, 0), 0u) << *result;
      EXPECT_GT(result->size(), c.expected.size());
    } else {
      EXPECT_EQ(result.value_or("(passed)"), c.expected) << c.text;
    }
  }
}

TEST(MinerConfigGate, CraftedFilesAreRefusedWithinTheirLimits) {
  const std::string unreadable = kBlocked + "The refreshed file could not be read as a valid miner configuration: ";
  // Aliases count at the depth they would have once expanded: each anchor
  // here nests the previous one a level deeper.
  auto alias_chain = [](int links) {
    std::string text = "a0: &a0 [x]\n";
    for (int i = 1; i < links; ++i) {
      text += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [*a" + std::to_string(i - 1) + "]\n";
    }
    return text + kGoodChain;
  };
  EXPECT_FALSE(verify_miner_config_text(alias_chain(127)));  // 127 sequences below the root mapping
  EXPECT_EQ(verify_miner_config_text(alias_chain(128)), unreadable + "recursion limit exceeded");
  EXPECT_EQ(verify_miner_config_text(alias_chain(5000)), unreadable + "recursion limit exceeded");

  // Nine levels of ten aliases each stand for a billion nodes.
  std::string laughs = "l0: &l0 [lol]\n";
  for (int i = 1; i <= 9; ++i) {
    std::string items;
    for (int j = 0; j < 10; ++j) items += (j ? ", *l" : "*l") + std::to_string(i - 1);
    laughs += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [" + items + "]\n";
  }
  MaybeError refused = verify_miner_config_text(laughs + kGoodChain);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->rfind(unreadable + "aliases expand to too many nodes (more than 1000000)", 0), 0u) << *refused;
  // Six levels and three copies of the last stand for about 870,000 nodes,
  // under the limit: accepted.
  std::string under = laughs.substr(0, laughs.find("l6:"));
  under += "l6: &l6 [*l5, *l5, *l5]\n";
  EXPECT_FALSE(verify_miner_config_text(under + kGoodChain));

  // Exactly 1,000,000 expanded nodes are read; one more is refused. Without
  // chains the file is refused either way.
  auto expanded = [](int count) {
    std::string text = "s: &s x\nk: &k [*s";  // k stands for 1,000 nodes
    for (int i = 1; i < 999; ++i) text += ", *s";
    text += "]\nt: [x";  // the root, s, k, and t with its x: 1,004 nodes
    int rest = count - 1004;
    for (; rest >= 1000; rest -= 1000) text += ", *k";
    for (; rest > 0; --rest) text += ", *s";
    return verify_miner_config_text(text + "]\n").value_or("(passed)");
  };
  EXPECT_EQ(expanded(1000000), kBlocked + "Pool connection is missing.");
  EXPECT_EQ(expanded(1000001).rfind(unreadable + "aliases expand to too many nodes (more than 1000000)", 0), 0u)
      << expanded(1000001);

  // Text is bounded as well as nodes: a long text aliased many times would
  // be copied once per alias. Exactly 16 MiB of expanded text is read, one
  // byte more is refused (the keys s, t and u count too).
  auto text_bytes = [](std::size_t filler) {
    std::string text = "s: &s " + std::string(1048575, 'x') + "\nt: [*s";
    for (int i = 1; i < 15; ++i) text += ", *s";
    text += "]\nu: " + std::string(filler, 'y') + "\n";
    return verify_miner_config_text(text).value_or("(passed)");
  };
  EXPECT_EQ(text_bytes(13), kBlocked + "Pool connection is missing.");
  EXPECT_EQ(text_bytes(14).rfind(unreadable + "aliases expand to too many bytes (more than 16777216)", 0), 0u)
      << text_bytes(14).substr(0, 300);
  // Aliases used as keys count the same: a hundred keys naming one text of
  // 200 KB expand to 20 MB.
  std::string keys = "k: &k " + std::string(200000, 'k') + "\nm:\n";
  for (int i = 0; i < 100; ++i) keys += "  ? *k\n  : " + std::to_string(i) + "\n";
  refused = verify_miner_config_text(keys + kGoodChain);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->rfind(unreadable + "aliases expand to too many bytes (more than 16777216)", 0), 0u)
      << refused->substr(0, 300);

  // An empty collection is a level too, also where an alias names it.
  const std::string deep = "e: &e []\nd: " + std::string(127, '[');
  EXPECT_FALSE(verify_miner_config_text(deep + "x" + std::string(127, ']') + "\n" + kGoodChain));
  EXPECT_EQ(verify_miner_config_text(deep + "*e" + std::string(127, ']') + "\n" + kGoodChain),
            unreadable + "recursion limit exceeded");

  // Many plain nodes: 10 MB of empty flow sequences.
  std::string flows = "x: [";
  while (flows.size() < (10u << 20)) flows += "[], ";
  refused = verify_miner_config_text(flows + "[]]\n" + kGoodChain);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->rfind(unreadable + "too many nodes (more than 100000)", 0), 0u) << *refused;
  // Exactly 100,000 nodes (the mapping, its key, the sequence and 99,997
  // empty ones) are read; one more is refused. Without chains the file is
  // refused either way, for that or for its size.
  auto nodes = [](int count) {
    std::string text = "x: [";
    for (int i = 0; i < count - 4; ++i) text += "[], ";
    return verify_miner_config_text(text + "[]]\n").value_or("(passed)");
  };
  EXPECT_EQ(nodes(100000).find("too many nodes"), std::string::npos) << nodes(100000);
  EXPECT_EQ(nodes(100001).rfind(unreadable + "too many nodes (more than 100000)", 0), 0u) << nodes(100001);

  // Nesting without an end is refused when it goes too deep, not when the
  // file ends.
  for (std::size_t depth : {128u, 5000u}) {
    EXPECT_EQ(verify_miner_config_text("x: " + std::string(depth, '[')), unreadable + "recursion limit exceeded");
  }
  EXPECT_EQ(verify_miner_config_text("x: " + std::string(127, '[')).value_or("").find("recursion"), std::string::npos);

  // An anchored scalar can be named again.
  EXPECT_FALSE(verify_miner_config_text("x: &port 1\ny: *port\n" + kGoodChain));
}

TEST(MinerConfigGate, AFirstChainDifferingInAnyOneCheckedFieldIsRefused) {
  const std::pair<const char*, const char*> changes[] = {
      {"name: Qubo-VORN Pool", "name: Qubo-VORN Pool2"},
      {"rpc_transport: https", "rpc_transport: http"},
      {"rpc_host: pool.qubovorn-net.com", "rpc_host: pool.qubovorn-net.co"},
      {"rpc_port: 443", "rpc_port: 444"},
      {"type: none", "type: user"},
      {"block_time_seconds: 120", "block_time_seconds: 121"},
      {"submission_mode: pool", "submission_mode: solo"},
  };
  for (auto [from, to] : changes) {
    std::string text = kGoodChain;
    text.replace(text.find(from), std::string(from).size(), to);
    EXPECT_EQ(verify_miner_config_text(text), kBlocked + "Pool connection did not match this app.") << to;
    // Only the first chain counts: a good second chain does not save it.
    EXPECT_EQ(verify_miner_config_text(text + kGoodChain.substr(std::string("chains:\n").size())),
              kBlocked + "Pool connection did not match this app.") << to;
  }
}

TEST(MinerConfigGate, MalformedYamlReportsTheParsersProblemAndPosition) {
  MaybeError result = verify_miner_config_text("chains:\n  - a\n b: [\n");
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, kBlocked + "The refreshed file could not be read as a valid miner configuration: did not find "
                     "expected key at line 3 column 2, while parsing a block mapping at line 1 column 1");
}

TEST(MinerConfigGate, UnreadableAndNonUtf8Files) {
  std::string dir = testing_support::scratch_folder("gate_files");
  std::string missing = platform::join_path(dir, "absent.yaml");
  MaybeError result = verify_miner_config(missing);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->rfind(kBlocked + "Could not read the refreshed file: ", 0), 0u);
  std::string bad = platform::join_path(dir, "bad.yaml");
  write_file(bad, kGoodChain + "x: \xff\n");
  EXPECT_EQ(verify_miner_config(bad), kBlocked + "Could not read the refreshed file: stream did not contain valid UTF-8");
}

TEST(MinerConfigPath, OnlyTheFileNextToTheExecutable) {
  const std::string expected = expected_miner_config_path();
  EXPECT_EQ(expected, exe_relative("miner_config.mainnet.gui.yaml"));
  EXPECT_FALSE(check_miner_config_path(expected));
  std::string slashed = expected;
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  EXPECT_FALSE(check_miner_config_path(slashed));
  std::string doubled = platform::join_path(platform::parent_folder(expected), "");
  doubled += std::string(1, platform::kPathSeparator) + "miner_config.mainnet.gui.yaml";
  EXPECT_FALSE(check_miner_config_path(doubled));

  std::string upper = platform::join_path(platform::parent_folder(expected), "MINER_CONFIG.MAINNET.GUI.YAML");
  EXPECT_EQ(check_miner_config_path(upper),
            "refusing to use miner config " + upper + "; GUI profile requires miner_config.mainnet.gui.yaml");
  std::string elsewhere = platform::join_path(platform::join_path(platform::parent_folder(expected), "sub"),
                                              "miner_config.mainnet.gui.yaml");
  EXPECT_EQ(check_miner_config_path(elsewhere),
            "refusing to use miner config " + elsewhere + "; GUI profile writes only " + expected);
  EXPECT_TRUE(check_miner_config_path(platform::join_path(platform::parent_folder(expected), "x/..")));
}

class MinerConfigWriter : public ::testing::Test {
 protected:
  void SetUp() override { clean(); }
  void TearDown() override { clean(); }
  static void clean() {
    testing_support::remove_tree(expected_miner_config_path());
    testing_support::remove_tree(expected_miner_config_path() + ".tmp");
  }
  const std::string path = expected_miner_config_path();
};

TEST_F(MinerConfigWriter, WritesVerifiesAndReusesALeftoverTemporary) {
  write_file(path + ".tmp", std::string(100000, 'z'));
  AppSettings s;
  s.plot_dirs = {"D:\\plots"};
  Result<std::string> written = write_miner_config(s, path);
  ASSERT_TRUE(written.ok()) << written.error();
  EXPECT_EQ(written.value(), path);
  EXPECT_EQ(read_file(path), miner_config_yaml(s).value());
  EXPECT_FALSE(testing_support::exists(path + ".tmp"));
}

TEST_F(MinerConfigWriter, WithoutAProgramFolderTheBareNameIsWrittenInTheWorkingFolder) {
  const fs::path before = fs::current_path();
  const std::string folder = testing_support::scratch_folder("config_bare_name");
  const std::string bare(kProfile.config_file);
  fs::current_path(fs::u8path(folder));
  platform::arm_fault("executable-path");  // where the program lives is not known
  Result<std::string> written = write_miner_config(AppSettings{}, bare);
  platform::disarm_faults();
  fs::current_path(before);
  ASSERT_TRUE(written.ok()) << written.error();
  EXPECT_EQ(written.value(), bare);
  EXPECT_EQ(read_file(platform::join_path(folder, bare)), miner_config_yaml(AppSettings{}).value());
  EXPECT_FALSE(testing_support::exists(platform::join_path(folder, bare + ".tmp")));
}

TEST_F(MinerConfigWriter, AFolderPathThatIsNotUtf8IsRefusedBeforeWriting) {
  write_file(path, "old");
  AppSettings s;
  s.plot_dirs = {"D:\\ok", "D:\\\xff\xfe", "D:\\after"};
  Result<std::string> written = write_miner_config(s, path);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), "could not serialise the miner configuration: a plot folder path is not valid UTF-8");
  EXPECT_EQ(read_file(path), "old");
  EXPECT_FALSE(testing_support::exists(path + ".tmp"));
}

TEST_F(MinerConfigWriter, RefusesAnotherPathWithoutWriting) {
  std::string other = platform::join_path(testing_support::scratch_folder("writer_other"), "miner_config.mainnet.gui.yaml");
  Result<std::string> written = write_miner_config(AppSettings{}, other);
  ASSERT_FALSE(written.ok());
  EXPECT_NE(written.error().find("GUI profile writes only"), std::string::npos);
  EXPECT_FALSE(testing_support::exists(other));
}

TEST_F(MinerConfigWriter, FailedReplaceKeepsTheOldFileAndLeavesNoTemporary) {
  // A folder in the file's place cannot be replaced by a file.
  fs::create_directories(fs::u8path(path));
  write_file(platform::join_path(path, "keep"), "old");
  Result<std::string> written = write_miner_config(AppSettings{}, path);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().rfind("could not update the miner configuration file: ", 0), 0u) << written.error();
  EXPECT_NE(written.error().find("(os error "), std::string::npos);
  EXPECT_EQ(read_file(platform::join_path(path, "keep")), "old");
  EXPECT_FALSE(testing_support::exists(path + ".tmp"));
}

TEST_F(MinerConfigWriter, ATemporaryThatCannotBeMadeKeepsTheOldFile) {
  write_file(path, "old");
  fs::create_directories(fs::u8path(path + ".tmp"));
  write_file(platform::join_path(path + ".tmp", "keep"), "x");
  Result<std::string> written = write_miner_config(AppSettings{}, path);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().rfind("could not create the new miner configuration file: ", 0), 0u) << written.error();
  EXPECT_EQ(read_file(path), "old");
}

TEST_F(MinerConfigWriter, RefreshRunsOnItsThreadAndReportsOnce) {
  auto w = testing_support::TestWindow::create(testing_support::scratch_folder("refresh"));
  {
    auto core = w->core.borrow();
    core->settings.plot_dirs = {"D:\\p"};
    core->settings.chain.rpc_host = "other-pool.example";
    core->settings.auto_restart_on_new_plots = false;
    core->status_dirty = core->controls_dirty = false;
    ASSERT_TRUE(start_config_refresh(*core, RefreshPurpose::stable_plot_changes(2)));
    EXPECT_EQ(core->settings.chain, ChainSettings::profile_defaults()) << "the refresh applies the fixed pool";
    EXPECT_TRUE(core->settings.auto_restart_on_new_plots);
    EXPECT_EQ(core->scan_status_text, "Refreshing miner config...");
    EXPECT_TRUE(core->status_dirty && core->controls_dirty) << "the window shows the refresh";
    EXPECT_STREQ(phase(*core), "refreshing_config");
    core->settings.plot_dirs = {"D:\\changed-after-start"};
    EXPECT_FALSE(start_config_refresh(*core, RefreshPurpose::start_miner()));
    EXPECT_TRUE(testing_support::log_contains(*core, "Miner config refresh is already running; request ignored"));
  }
  ASSERT_TRUE(testing_support::pump_until([&] { return !w->core.borrow()->config_refresh_in_progress; }));
  auto core = w->core.borrow();
  EXPECT_TRUE(testing_support::log_contains(*core, "Refreshing miner config: " + path));
  EXPECT_TRUE(testing_support::log_contains(*core, "Miner configuration refreshed: " + path));
  EXPECT_TRUE(testing_support::log_contains(
      *core, "2 stable new/changed plot file(s) detected; miner configuration refreshed: " + path));
  EXPECT_EQ(plot_dirs_read_back(read_file(path)), std::vector<std::string>{"D:\\p"});
  EXPECT_EQ(core->scan_status_text, "Waiting");
}

}  // namespace
}  // namespace vorn
