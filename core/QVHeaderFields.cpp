#include "core/QVHeaderFields.h"

#include <algorithm>
#include <map>

namespace qv {

namespace {

constexpr char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = asciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string percentDecoded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = hexDigit(s[i + 1]), lo = hexDigit(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

// Calls `visit(name, value, quoted)` for each parameter after the head token, in order;
// stops early when `visit` returns false. Returns false when a quoted value is unclosed.
template <typename Visit>
bool forEachParameter(std::string_view value, Visit visit) {
  std::size_t i = value.find(';');
  if (i == std::string_view::npos) {
    // No ";": a parameter may still follow the head token after a blank, as on a folded
    // row ("multipart/related" CR LF TAB "boundary=...").
    i = value.find_first_not_of(" \t");
    if (i == std::string_view::npos) return true;
    i = value.find_first_of(" \t", i);
    if (i == std::string_view::npos) return true;
  }
  ++i;
  while (i < value.size()) {
    while (i < value.size() && (isBlank(value[i]) || value[i] == ';')) ++i;
    const std::size_t nameStart = i;
    while (i < value.size() && value[i] != '=' && value[i] != ';') ++i;
    if (i >= value.size() || value[i] == ';') continue;  // a word without a value
    const std::string_view name = trimmed(value.substr(nameStart, i - nameStart));
    ++i;  // past '='
    while (i < value.size() && isBlank(value[i])) ++i;
    std::string text;
    bool quoted = false;
    if (i < value.size() && value[i] == '"') {
      quoted = true;
      ++i;
      bool closed = false;
      for (; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
          text.push_back(value[++i]);
        } else if (value[i] == '"') {
          closed = true;
          ++i;
          break;
        } else {
          text.push_back(value[i]);
        }
      }
      if (!closed) {
        visit(name, std::string_view(text), quoted, true);
        return false;
      }
    } else {
      const std::size_t start = i;
      while (i < value.size() && value[i] != ';' && !isBlank(value[i])) ++i;
      text.assign(value.substr(start, i - start));
    }
    if (!visit(name, std::string_view(text), quoted, false)) return true;
    // After a blank, a word that is a parameter ("a=b") is one, as after a ";": on one row as
    // across a fold. Anything else up to the next ";" is no parameter.
    while (i < value.size() && isBlank(value[i])) ++i;
    std::size_t word = i;
    while (word < value.size() && value[word] != ';' && value[word] != '=' &&
           !isBlank(value[word])) {
      ++word;
    }
    if (word < value.size() && value[word] == '=' && word > i) continue;
    while (i < value.size() && value[i] != ';') ++i;
  }
  return true;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return asciiLower(x) == asciiLower(y);
         });
}

bool startsWithIgnoringCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && equalsIgnoringCase(s.substr(0, prefix.size()), prefix);
}

std::size_t findIgnoringCase(std::string_view s, std::string_view part) {
  auto it = std::search(s.begin(), s.end(), part.begin(), part.end(),
                        [](char a, char b) { return asciiLower(a) == asciiLower(b); });
  return it == s.end() && !part.empty() ? std::string_view::npos
                                        : static_cast<std::size_t>(it - s.begin());
}

bool isContinuationRow(std::string_view row) {
  return !row.empty() && (row.front() == ' ' || row.front() == '\t');
}

std::optional<std::string_view> fieldValue(std::string_view row, std::string_view name) {
  if (row.size() <= name.size() || row[name.size()] != ':' || !startsWithIgnoringCase(row, name)) {
    return std::nullopt;
  }
  std::string_view value = row.substr(name.size() + 1);
  if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
  return value;
}

bool hasExactFieldName(std::string_view row, std::string_view name) {
  return row.size() > name.size() && row[name.size()] == ':' &&
         row.compare(0, name.size(), name) == 0;
}

std::string_view headToken(std::string_view value) {
  std::string_view head = trimmed(value.substr(0, value.find(';')));
  // A parameter after a blank, without a ";" ("multipart/mixed boundary=B"), is no part of
  // the head token.
  const std::size_t blank = head.find_first_of(" \t");
  if (blank != std::string_view::npos && head.substr(blank).find('=') != std::string_view::npos) {
    head = trimmed(head.substr(0, blank));
  }
  return head;
}

QVParameterRead parameter(std::string_view value, std::string_view name, std::string& out) {
  QVParameterRead result = QVParameterRead::kAbsent;
  forEachParameter(value, [&](std::string_view n, std::string_view v, bool, bool unclosed) {
    if (!equalsIgnoringCase(n, name)) return true;
    if (unclosed) {
      result = QVParameterRead::kUnclosed;
      return false;
    }
    out.assign(v);
    result = QVParameterRead::kFound;
    return false;
  });
  return result;
}

std::optional<std::string> nameParameter(std::string_view value, std::string_view name) {
  std::optional<std::string> plain;
  std::optional<std::string> extended;
  std::map<int, std::string> pieces;  // RFC 2231 continuations by their number
  forEachParameter(value, [&](std::string_view n, std::string_view v, bool, bool unclosed) {
    if (unclosed || !startsWithIgnoringCase(n, name)) return true;
    std::string_view rest = n.substr(name.size());
    if (rest.empty()) {
      if (!plain) plain.emplace(v);
      return true;
    }
    if (rest.front() != '*') return true;
    rest.remove_prefix(1);
    const bool encoded = !rest.empty() && rest.back() == '*';
    if (encoded) rest.remove_suffix(1);
    std::string text(v);
    if (encoded || rest.empty()) {
      // charset'language'text: only the first piece carries the two prefixes.
      if (rest.empty() || rest == "0") {
        const std::size_t a = text.find('\'');
        const std::size_t b = a == std::string::npos ? a : text.find('\'', a + 1);
        if (b != std::string::npos) text.erase(0, b + 1);
      }
      text = percentDecoded(text);
    }
    if (rest.empty()) {
      extended = std::move(text);
      return true;
    }
    int number = 0;
    for (char c : rest) {
      if (c < '0' || c > '9' || number > 9999) return true;
      number = number * 10 + (c - '0');
    }
    pieces.emplace(number, std::move(text));
    return true;
  });
  if (extended) return extended;
  if (!pieces.empty()) {
    std::string joined;
    for (auto& [number, text] : pieces) joined += text;
    return joined;
  }
  return plain;
}

}  // namespace qv
