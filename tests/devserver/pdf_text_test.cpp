// Sample PDFs: well-formed, and their words readable by search.

#include "devserver/pdf_text.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace folium::devserver {
namespace {

TEST(PdfText, WrittenTextReadsBackWithAccentsAndSpecialCharacters) {
  std::vector<std::string> lines = {"Synthèse de l'exercice — 2025", "Parenthèses (et \\ barres)",
                                    "Œuvre « citée » à 12 €", "中文 falls back"};
  std::string pdf = makeTextPdf("Rapport annuel", lines);
  EXPECT_EQ(extractPdfText(pdf),
            "Rapport annuel\nSynthèse de l'exercice — 2025\nParenthèses (et \\ barres)\n"
            "Œuvre « citée » à 12 €\n?? falls back\n");
}

TEST(PdfText, CrossReferenceTablePointsAtEveryObject) {
  std::vector<std::string> lines(120, "ligne");  // several pages
  std::string pdf = makeTextPdf("Titre", lines);
  size_t xref = std::stoul(pdf.substr(pdf.rfind("startxref\n") + 10));
  ASSERT_EQ(pdf.compare(xref, 5, "xref\n"), 0);
  std::smatch header;
  std::string table = pdf.substr(xref);
  ASSERT_TRUE(std::regex_search(table, header, std::regex("^xref\n0 (\\d+)\n")));
  int count = std::stoi(header[1]);
  EXPECT_EQ(count, 1 + 4 + 2 * 3) << "catalog, pages, two fonts, three pages with contents";
  for (int object = 1; object < count; ++object) {
    size_t entry = xref + header.length() + 20 * static_cast<size_t>(object);
    size_t offset = std::stoul(pdf.substr(entry, 10));
    EXPECT_EQ(
        pdf.compare(offset, std::to_string(object).size() + 6, std::to_string(object) + " 0 obj"),
        0)
        << "object " << object;
  }
  // Declared stream lengths match.
  std::regex stream("/Length (\\d+) >>\nstream\n");
  for (auto it = std::sregex_iterator(pdf.begin(), pdf.end(), stream); it != std::sregex_iterator();
       ++it) {
    size_t start = static_cast<size_t>(it->position() + it->length());
    size_t length = std::stoul((*it)[1]);
    EXPECT_EQ(pdf.compare(start + length, 9, "endstream"), 0);
  }
}

TEST(PdfText, SkipsCompressedStreamsAndNeverFails) {
  std::string compressed =
      "%PDF-1.4\n1 0 obj\n<< /Length 12 /Filter /FlateDecode >>\nstream\nBT (secret) Tj "
      "ET\nendstream\nendobj\n";
  EXPECT_EQ(extractPdfText(compressed), "");
  for (const std::string& junk : std::vector<std::string>{
           "", "stream", "BT (unterminated", "stream\nBT (a\\", "endstream stream\n(x) Tj"}) {
    EXPECT_NO_THROW(extractPdfText(junk)) << junk;
  }
}

}  // namespace
}  // namespace folium::devserver
