#include "bridge/Credentials.h"

#include "bridge/FileBytes.h"
#include "bridge/StorePaths.h"
#include "common/Json.h"

namespace vantrel::bridge {
namespace {

constexpr std::int64_t kLowestPort = 1;
constexpr std::int64_t kHighestPort = 65535;

} // namespace

std::variant<Credentials, TokenProblem> parseCredentials(std::string_view bytes) {
  auto doc = parseJson(bytes);
  if (!doc)
    return TokenProblem::notJson;
  if (!doc->is_object())
    return TokenProblem::notAnObject;

  auto portMember = doc->find("port");
  auto port = portMember == doc->end() ? std::nullopt : integralInt64(*portMember);
  if (!port)
    return TokenProblem::noPort;
  if (*port < kLowestPort || *port > kHighestPort)
    return TokenProblem::portOutOfRange;

  auto token = doc->find("token");
  if (token == doc->end() || !token->is_string())
    return TokenProblem::noToken;
  const auto& text = token->get_ref<const std::string&>();
  // The token goes into a header line verbatim; a line break would let the file smuggle
  // further headers into every request.
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    return TokenProblem::tokenHasLineBreak;

  return Credentials{text, static_cast<int>(*port)};
}

TokenFile examineTokenFile(const std::string& path) {
  TokenFile file;
  file.path = path;
  FileRead read = readFileBytes(path, kMaxTokenFileBytes);
  file.error = read.error;
  switch (read.status) {
  case FileRead::Status::missing:
    file.status = TokenFile::Status::missing;
    return file;
  case FileRead::Status::notRegular:
  case FileRead::Status::unreadable:
    file.status = TokenFile::Status::unreadable;
    return file;
  case FileRead::Status::tooLarge:
    file.status = TokenFile::Status::tooLarge;
    return file;
  case FileRead::Status::noResources:
    file.status = TokenFile::Status::noResources;
    return file;
  case FileRead::Status::ok:
    break;
  }
  auto parsed = parseCredentials(read.bytes);
  if (auto* problem = std::get_if<TokenProblem>(&parsed)) {
    file.status = TokenFile::Status::unusable;
    file.problem = *problem;
    return file;
  }
  file.status = TokenFile::Status::usable;
  file.credentials = std::get<Credentials>(std::move(parsed));
  return file;
}

CredentialsLookup readCredentials() {
  CredentialsLookup lookup;
  // First usable file wins: a damaged token file must not hide a good one.
  for (const auto& candidate : StorePaths::resolveCandidates("bridge.token")) {
    TokenFile file = examineTokenFile(candidate);
    if (file.credentials) {
      lookup.credentials = std::move(file.credentials);
      return lookup;
    }
    if (file.status == TokenFile::Status::noResources && !lookup.shortage)
      lookup.shortage = std::move(file);
  }
  return lookup;
}

} // namespace vantrel::bridge
