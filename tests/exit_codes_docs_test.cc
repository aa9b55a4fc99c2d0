// The exit codes as docs/vmpkg.md and the manual page give them, against
// the one table the program is built from.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/exit_codes.h"

namespace {

std::string Read(const std::string& relative) {
  std::ifstream in(std::string(TAVIK_SOURCE_DIR) + "/" + relative);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

template <size_t n>
std::vector<int> Codes(const vmpkg::ExitCodeMeaning (&table)[n]) {
  std::vector<int> codes;
  for (const auto& e : table) codes.push_back(e.code);
  return codes;
}

// The codes of the markdown table's rows ("| N |") that follow `heading`,
// up to the first line that is no row.
std::vector<int> TableAfter(const std::string& text,
                            const std::string& heading) {
  std::vector<int> codes;
  size_t at = text.find(heading);
  if (at == std::string::npos) return codes;
  std::istringstream lines(text.substr(at));
  std::string line;
  std::getline(lines, line);
  bool in_table = false;
  static const std::regex row(R"(^\| (\d+) \|)");
  while (std::getline(lines, line)) {
    if (line.rfind("|", 0) != 0) {
      if (in_table) break;
      continue;
    }
    in_table = true;
    std::smatch m;
    if (std::regex_search(line, m, row)) codes.push_back(std::stoi(m[1]));
  }
  return codes;
}

TEST(ExitCodesDocsTest, TheGuideListsTheTablesCodesInTheirOrder) {
  const std::string guide = Read("docs/vmpkg.md");
  ASSERT_FALSE(guide.empty());
  EXPECT_EQ(TableAfter(guide, "## Exit codes"), Codes(vmpkg::kExitCodes));
  EXPECT_EQ(TableAfter(guide, "`check --registered` exits with the worst"),
            Codes(vmpkg::kRegisteredExitOrder));
}

TEST(ExitCodesDocsTest, TheManualPageRanksTheCodesAsTheAuditDoes) {
  const std::string page = Read("docs/man/vmpkg.1");
  ASSERT_FALSE(page.empty());
  // "the worst over the libraries, worst first: 130; 3; 4 (...); ...; 0."
  size_t at = page.find("worst first:");
  ASSERT_NE(at, std::string::npos);
  std::string sentence = page.substr(at, page.find(".\n", at) - at);
  // The parenthesised words hold no ";", so each code follows ": " or "; ".
  std::vector<int> ranked;
  static const std::regex code(R"((?:: |; )(\d+))");
  for (std::sregex_iterator it(sentence.begin(), sentence.end(), code), end;
       it != end; ++it) {
    ranked.push_back(std::stoi((*it)[1]));
  }
  EXPECT_EQ(ranked, Codes(vmpkg::kRegisteredExitOrder)) << sentence;

  // EXIT STATUS names every code once.
  std::set<int> all;
  for (int c : Codes(vmpkg::kExitCodes)) all.insert(c);
  for (int c : Codes(vmpkg::kRegisteredExitOrder)) all.insert(c);
  std::string status = page.substr(page.find(".SH EXIT STATUS"));
  status = status.substr(0, status.find(".SH ", 4));
  std::vector<int> listed;
  static const std::regex entry(R"(\.TP\n\.B (\d+)\n)");
  for (std::sregex_iterator it(status.begin(), status.end(), entry), end;
       it != end; ++it) {
    listed.push_back(std::stoi((*it)[1]));
  }
  EXPECT_EQ(std::set<int>(listed.begin(), listed.end()), all);
  EXPECT_EQ(listed.size(), all.size());
}

}  // namespace
