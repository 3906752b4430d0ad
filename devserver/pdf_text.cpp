#include "devserver/pdf_text.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/text/utf8.hpp"

namespace folium::devserver {

namespace {

// WinAnsiEncoding 0x80..0x9F; 0 where the encoding has no character.
constexpr std::array<char32_t, 32> kWinAnsiHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

constexpr int kLinesPerPage = 50;

char32_t decodeUtf8(std::string_view text, size_t& i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (i + length > text.size()) {
    i = text.size();
    return U'?';
  }
  char32_t c = length == 1   ? lead
               : length == 2 ? (lead & 0x1F)
               : length == 3 ? (lead & 0x0F)
                             : (lead & 0x07);
  for (size_t k = 1; k < length; ++k) c = (c << 6) | (byte(i + k) & 0x3F);
  i += length;
  return c;
}

unsigned char toWinAnsi(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
  for (size_t k = 0; k < kWinAnsiHigh.size(); ++k) {
    if (kWinAnsiHigh[k] == c && c != 0) return static_cast<unsigned char>(0x80 + k);
  }
  if (c == 0x202F || c == 0x00A0) return ' ';  // narrow and plain no-break spaces
  return '?';
}

// A PDF literal string holding the text in WinAnsi bytes.
std::string literal(std::string_view utf8) {
  std::string out = "(";
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = toWinAnsi(decodeUtf8(utf8, i));
    if (b == '(' || b == ')' || b == '\\') out += '\\';
    if (b < 0x20 || b >= 0x80) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "\\%03o", b);
      out += octal;
    } else {
      out += static_cast<char>(b);
    }
  }
  out += ')';
  return out;
}

void appendWinAnsi(std::string& out, unsigned char b) {
  if (b >= 0x80 && b <= 0x9F) {
    char32_t c = kWinAnsiHigh[b - 0x80];
    platform::appendUtf8(out, c ? c : U'\uFFFD');
  } else {
    platform::appendUtf8(out, b);
  }
}

bool isDelimiter(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0' || c == '(' ||
         c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '/' || c == '%' ||
         c == '{' || c == '}';
}

// Reads the literal string that starts at `i` (on its "("); leaves `i` after it.
std::string readLiteral(std::string_view data, size_t& i) {
  std::string bytes;
  int depth = 0;
  for (; i < data.size(); ++i) {
    char c = data[i];
    if (c == '\\' && i + 1 < data.size()) {
      char e = data[++i];
      switch (e) {
        case 'n':
          bytes += '\n';
          break;
        case 'r':
          bytes += '\r';
          break;
        case 't':
          bytes += '\t';
          break;
        case 'b':
          bytes += '\b';
          break;
        case 'f':
          bytes += '\f';
          break;
        case '\r':
        case '\n':
          break;  // line continuation
        default:
          if (e >= '0' && e <= '7') {
            int value = 0;
            int digits = 0;
            while (digits < 3 && i < data.size() && data[i] >= '0' && data[i] <= '7') {
              value = value * 8 + (data[i] - '0');
              ++i;
              ++digits;
            }
            --i;
            bytes += static_cast<char>(value & 0xFF);
          } else {
            bytes += e;
          }
      }
      continue;
    }
    if (c == '(') {
      if (depth++ > 0) bytes += c;
    } else if (c == ')') {
      if (--depth == 0) {
        ++i;
        break;
      }
      bytes += c;
    } else {
      bytes += c;
    }
  }
  return bytes;
}

// The text of one content stream.
void extractFromContent(std::string_view data, std::string& out) {
  bool inText = false;
  bool lineHasText = false;
  auto newline = [&] {
    if (lineHasText) out += '\n';
    lineHasText = false;
  };
  for (size_t i = 0; i < data.size();) {
    char c = data[i];
    if (c == '(') {
      std::string bytes = readLiteral(data, i);
      if (inText) {
        for (unsigned char b : bytes) appendWinAnsi(out, b);
        lineHasText = lineHasText || !bytes.empty();
      }
      continue;
    }
    if (c == '%') {  // comment to the end of the line
      while (i < data.size() && data[i] != '\n' && data[i] != '\r') ++i;
      continue;
    }
    if (c == '<' && i + 1 < data.size() && data[i + 1] != '<') {  // hex string: skipped
      while (i < data.size() && data[i] != '>') ++i;
      ++i;
      continue;
    }
    if (isDelimiter(c)) {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < data.size() && !isDelimiter(data[i])) ++i;
    std::string_view word = data.substr(start, i - start);
    if (word == "BT") {
      inText = true;
    } else if (word == "ET") {
      newline();
      inText = false;
    } else if (inText && (word == "T*" || word == "Td" || word == "TD" || word == "Tm" ||
                          word == "'" || word == "\"")) {
      newline();
    }
  }
  newline();
}

}  // namespace

std::string makeTextPdf(std::string_view title, const std::vector<std::string>& lines) {
  std::vector<std::string> contents;
  size_t pageCount = std::max<size_t>(1, (lines.size() + kLinesPerPage - 1) / kLinesPerPage);
  for (size_t page = 0; page < pageCount; ++page) {
    std::string content;
    int top = 800;
    if (page == 0) {
      content += "BT /F1 16 Tf 56 790 Td " + literal(title) + " Tj ET\n";
      top = 760;
    }
    content += "BT /F2 11 Tf 15 TL 56 " + std::to_string(top) + " Td\n";
    for (size_t k = page * kLinesPerPage; k < std::min(lines.size(), (page + 1) * kLinesPerPage);
         ++k) {
      content += literal(lines[k]) + " Tj T*\n";
    }
    content += "ET\n";
    contents.push_back(std::move(content));
  }

  // Objects: 1 catalog, 2 page tree, 3 and 4 fonts, then a page and its contents per page.
  std::vector<std::string> objects;
  std::string kids;
  for (size_t page = 0; page < pageCount; ++page) {
    kids += std::to_string(5 + 2 * page) + " 0 R ";
  }
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pageCount) +
                    " >>");
  objects.push_back(
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold /Encoding /WinAnsiEncoding >>");
  objects.push_back(
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
  for (size_t page = 0; page < pageCount; ++page) {
    objects.push_back(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 3 0 R "
        "/F2 4 0 R >> >> /Contents " +
        std::to_string(6 + 2 * page) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(contents[page].size()) + " >>\nstream\n" +
                      contents[page] + "endstream");
  }

  std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t k = 0; k < objects.size(); ++k) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(k + 1) + " 0 obj\n" + objects[k] + "\nendobj\n";
  }
  size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\n";
  pdf += "startxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

std::string extractPdfText(std::string_view pdf) {
  std::string out;
  size_t from = 0;
  while (true) {
    size_t keyword = pdf.find("stream", from);
    if (keyword == std::string_view::npos) break;
    // "endstream" also contains the word; only a "stream" that opens data counts.
    if (keyword >= 3 && pdf.substr(keyword - 3, 3) == "end") {
      from = keyword + 6;
      continue;
    }
    size_t dataStart = keyword + 6;
    if (dataStart < pdf.size() && pdf[dataStart] == '\r') ++dataStart;
    if (dataStart < pdf.size() && pdf[dataStart] == '\n') ++dataStart;
    size_t dataEnd = pdf.find("endstream", dataStart);
    if (dataEnd == std::string_view::npos) break;
    size_t dictStart = pdf.rfind("obj", keyword);
    std::string_view dictionary = dictStart == std::string_view::npos
                                      ? pdf.substr(0, keyword)
                                      : pdf.substr(dictStart, keyword - dictStart);
    if (dictionary.find("/Filter") == std::string_view::npos) {
      extractFromContent(pdf.substr(dataStart, dataEnd - dataStart), out);
    }
    from = dataEnd + 9;
  }
  return out;
}

}  // namespace folium::devserver
