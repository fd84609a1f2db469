#include "door.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace kestreld {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string_view trim(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// "name:8080" → ("name", 8080); "[::1]:8080" → ("::1", 8080); no port → 80.
std::optional<std::pair<std::string, unsigned>> splitHost(std::string_view host) {
  std::string_view name = host;
  std::string_view port;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    name = host.substr(1, close - 1);
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') return std::nullopt;
      port = host.substr(close + 2);
    }
  } else if (const size_t colon = host.rfind(':'); colon != std::string_view::npos) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
  }
  unsigned number = 80;
  if (!port.empty()) {
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size()) return std::nullopt;
  }
  if (name.empty()) return std::nullopt;
  return std::make_pair(lower(name), number);
}

bool isTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// "Name: value": the shape of a header line.
bool looksLikeHeaderLine(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon + 1 >= line.size()) return false;
  if (line[colon + 1] != ' ' && line[colon + 1] != '\t') return false;
  return std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon), isTokenChar);
}

}  // namespace

// ---- admission ----------------------------------------------------------------

Door::Ticket::Ticket(Ticket&& other) noexcept : door_(other.door_), client_(std::move(other.client_)) {
  other.door_ = nullptr;
}

Door::Ticket& Door::Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    release();
    door_ = other.door_;
    client_ = std::move(other.client_);
    other.door_ = nullptr;
  }
  return *this;
}

Door::Ticket::~Ticket() { release(); }

void Door::Ticket::release() {
  if (door_ != nullptr) door_->leave(client_);
  door_ = nullptr;
}

std::string plainAddress(const std::string& address) {
  if (address.rfind("::ffff:", 0) == 0 && parseIPv4(address.substr(7))) return address.substr(7);
  return address;
}

bool addressAllowed(const AccessList& access, const std::string& address) {
  if (const auto v4 = parseIPv4(plainAddress(address))) return access.allows(*v4);
  return access.open();  // the networks are IPv4 ones
}

Refused Door::admit(const std::string& peer, Ticket& ticket) {
  const std::string client = plainAddress(peer);
  if (!addressAllowed(access_, client)) return Refused::Address;
  std::lock_guard lock(mutex_);
  if (inside_ >= limits_.maxConnections) return Refused::DaemonFull;
  size_t& mine = perClient_[client];
  if (mine >= limits_.maxConnectionsPerClient) return Refused::ClientFull;
  ++mine;
  ++inside_;
  ticket = Ticket(this, client);
  return Refused::None;
}

size_t Door::inside() const {
  std::lock_guard lock(mutex_);
  return inside_;
}

void Door::leave(const std::string& client) {
  std::lock_guard lock(mutex_);
  --inside_;
  auto it = perClient_.find(client);
  if (it != perClient_.end() && --it->second == 0) perClient_.erase(it);
}

// ---- HTTP requests ----------------------------------------------------------------

HttpRules::HttpRules(std::vector<std::string> names, uint16_t port, std::string token)
    : port_(port), token_(std::move(token)) {
  for (const std::string& name : names) names_.push_back(lower(name));
}

bool HttpRules::changesState(const std::string& method) { return method != "GET" && method != "HEAD"; }

bool HttpRules::hostAllowed(const std::string& host, const std::string& localAddress) const {
  const auto parts = splitHost(host);
  if (!parts || parts->second != port_) return false;
  const std::string& name = parts->first;
  if (name == lower(plainAddress(localAddress))) return true;
  return std::find(names_.begin(), names_.end(), name) != names_.end();
}

std::optional<Refusal> HttpRules::checkCaller(const HttpHead& head) const {
  // A page of another site reaches us under its own name (DNS rebinding) or
  // says where it comes from: either way it gets nothing.
  if (!hostAllowed(head.host, head.localAddress)) {
    return Refusal{403, "the Host header must name this daemon (its address, localhost or a --server-name)"};
  }
  if (head.origin && lower(*head.origin) != "http://" + lower(head.host)) {
    return Refusal{403, "requests from pages of other origins are refused"};
  }
  if (head.headerCount > HttpLimits::kMaxHeaders) {
    return Refusal{431, "a request may have at most " + std::to_string(HttpLimits::kMaxHeaders) + " header lines"};
  }
  return std::nullopt;
}

std::optional<Refusal> HttpRules::checkRequest(const HttpHead& head) const {
  if (auto refusal = checkBody(head)) return refusal;
  if (changesState(head.method)) return checkChange(head);
  return std::nullopt;
}

std::optional<Refusal> HttpRules::checkBody(const HttpHead& head) const {
  if (head.transferEncoding) return Refusal{411, "a request body needs a Content-Length (no Transfer-Encoding)"};
  uint64_t length = 0;
  if (head.contentLength) {
    const std::string_view text = trim(*head.contentLength);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
      return Refusal{400, "Content-Length is not a number"};
    }
  }
  if (length > HttpLimits::kMaxBody) {
    return Refusal{413, "a request body may hold at most " + std::to_string(HttpLimits::kMaxBody) + " bytes"};
  }
  if (length > 0 && !changesState(head.method)) return Refusal{400, head.method + " takes no body"};
  if (changesState(head.method) && !head.contentLength) return Refusal{411, "a request body needs a Content-Length"};
  return std::nullopt;
}

std::optional<Refusal> HttpRules::checkChange(const HttpHead& head) const {
  const std::string_view scheme = "Bearer ";
  const std::string_view auth = head.authorization;
  if (auth.size() <= scheme.size() || lower(auth.substr(0, scheme.size())) != lower(scheme) ||
      !sameSecret(trim(auth.substr(scheme.size())), token_)) {
    return Refusal{403, "a change needs the daemon's token: Authorization: Bearer TOKEN (see --token-file)"};
  }
  const std::string type = lower(trim(std::string_view(head.contentType).substr(0, head.contentType.find(';'))));
  if (type != "application/json") return Refusal{415, "a change is a JSON body: Content-Type: application/json"};
  return std::nullopt;
}

bool sameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || b.empty()) return false;  // the token's length is no secret
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

bool looksLikeHttp(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  static constexpr std::array<std::string_view, 10> kMethods = {"GET ",     "HEAD ",    "POST ",  "PUT ",   "DELETE ",
                                                                "CONNECT ", "OPTIONS ", "TRACE ", "PATCH ", "PRI "};
  for (std::string_view method : kMethods) {
    if (line.substr(0, method.size()) == method) return true;
  }
  const size_t version = line.rfind(" HTTP/");
  if (version != std::string_view::npos && line.size() - version <= 10) return true;
  return looksLikeHeaderLine(line);
}

}  // namespace kestreld
