#include "JsonScanFuzz.h"

#include "common/Json.h"

#include <nlohmann/json.hpp>

#include <vector>

namespace vantrel::fuzz {
namespace {

// Looks for one member name at the top level, and keeps the first name found there; every other
// event only keeps count of the depth. A name at depth 1 can only be the top level's own.
class TopLevelFinder : public nlohmann::json::json_sax_t {
public:
  explicit TopLevelFinder(std::string_view wanted) : wanted_(wanted) {}
  bool found() const { return found_; }
  const std::optional<std::string>& firstName() const { return firstName_; }

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    ++depth_;
    return true;
  }
  bool key(string_t& name) override {
    if (depth_ == 1) {
      found_ = found_ || name == wanted_;
      if (!firstName_)
        firstName_ = name;
    }
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

private:
  std::string_view wanted_;
  std::size_t depth_ = 0;
  bool found_ = false;
  std::optional<std::string> firstName_;
};

// Whether the parser accepts the text, with what `finder` saw on the way.
bool parse(const JsonText& text, TopLevelFinder& finder) {
  // Text that is not UTF-8 never reaches the scan, and nlohmann would take a NUL for the end of
  // its input and ignore the rest.
  if (!text.isUtf8() || text.hasNul())
    return false;
  return nlohmann::json::sax_parse(text.plain(), &finder);
}

} // namespace

bool parserHasTopLevelMember(const JsonText& text, std::string_view key) {
  TopLevelFinder finder(key);
  return parse(text, finder) && finder.found();
}

std::optional<std::string> checkJsonScanInput(std::string_view input) {
  const JsonText text(input);
  std::vector<std::string> keys{"transcriptText", ""};
  TopLevelFinder first("");
  if (parse(text, first) && first.firstName()) {
    const std::string& name = *first.firstName();
    keys.push_back(name);
    keys.push_back(name + "x");
    if (!name.empty())
      keys.push_back(name.substr(0, name.size() - 1));
  }
  for (const auto& key : keys) {
    const bool expected = parserHasTopLevelMember(text, key);
    if (hasTopLevelMember(text, key) != expected)
      return "hasTopLevelMember says " + std::string(expected ? "no" : "yes") + " for the name \"" +
             key + "\", the parser " + (expected ? "yes" : "no");
  }
  return std::nullopt;
}

} // namespace vantrel::fuzz
