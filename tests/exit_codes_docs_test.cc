// The exit codes as docs/vmpkg.md and the manual page give them, against
// the one table the program is built from.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/exit_codes.h"

namespace {

// The number at `at` when digits stand there followed by `after`, else -1.
// (std::regex would do, but GCC 12 warns inside it under the sanitizers.)
int NumberAt(const std::string& text, size_t at, const std::string& after) {
  size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end == at || text.compare(end, after.size(), after) != 0) return -1;
  return std::stoi(text.substr(at, end - at));
}

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
  while (std::getline(lines, line)) {
    if (line.rfind("|", 0) != 0) {
      if (in_table) break;
      continue;
    }
    in_table = true;
    int code = line.rfind("| ", 0) == 0 ? NumberAt(line, 2, " |") : -1;
    if (code >= 0) codes.push_back(code);
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
  for (size_t i = 2; i < sentence.size(); ++i) {
    if (sentence[i - 1] != ' ' ||
        (sentence[i - 2] != ':' && sentence[i - 2] != ';')) {
      continue;
    }
    size_t end = i;
    while (end < sentence.size() &&
           std::isdigit(static_cast<unsigned char>(sentence[end])))
      ++end;
    if (end > i) ranked.push_back(std::stoi(sentence.substr(i, end - i)));
  }
  EXPECT_EQ(ranked, Codes(vmpkg::kRegisteredExitOrder)) << sentence;

  // EXIT STATUS names every code once.
  std::set<int> all;
  for (int c : Codes(vmpkg::kExitCodes)) all.insert(c);
  for (int c : Codes(vmpkg::kRegisteredExitOrder)) all.insert(c);
  std::string status = page.substr(page.find(".SH EXIT STATUS"));
  status = status.substr(0, status.find(".SH ", 4));
  std::vector<int> listed;
  const std::string item = ".TP\n.B ";
  for (size_t at = status.find(item); at != std::string::npos;
       at = status.find(item, at + 1)) {
    int code = NumberAt(status, at + item.size(), "\n");
    if (code >= 0) listed.push_back(code);
  }
  EXPECT_EQ(std::set<int>(listed.begin(), listed.end()), all);
  EXPECT_EQ(listed.size(), all.size());
}

}  // namespace
