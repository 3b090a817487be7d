#include "link/NetworkComm.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
#endif

namespace {

constexpr const char* kRfc2217Scheme = "rfc2217://";
constexpr const char* kTcpScheme = "tcp://";
constexpr size_t kReadChunk = 4096;
// Beyond the line time of a frame, how long the connection may take to accept it.
constexpr int kWriteMarginMs = 5000;

SocketHandle S(intptr_t socket) {
    return static_cast<SocketHandle>(socket);
}

int LastSocketError() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

std::string SocketErrorText(int error) {
#ifdef _WIN32
    char* text = nullptr;
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = text != nullptr ? text : "error " + std::to_string(error);
    LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
#else
    return std::strerror(error);
#endif
}

bool WouldBlock(int error) {
#ifdef _WIN32
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
#else
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS || error == EINTR;
#endif
}

// Waits for the socket to become readable (or writable); true when it did.
bool PollSocket(SocketHandle socket, bool forWriting, int timeoutMs) {
#ifdef _WIN32
    WSAPOLLFD entry{socket, static_cast<SHORT>(forWriting ? POLLOUT : POLLIN), 0};
    return WSAPoll(&entry, 1, timeoutMs) > 0;
#else
    pollfd entry{socket, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
    return poll(&entry, 1, timeoutMs) > 0;
#endif
}

void SetNonBlocking(SocketHandle socket) {
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
#else
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
#endif
}

void CloseSocket(SocketHandle socket) {
#ifdef _WIN32
    closesocket(socket);
#else
    close(socket);
#endif
}

#ifdef _WIN32
// Winsock is started once for the program's life.
void StartSockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
#else
void StartSockets() {}
#endif

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Plain ASCII tests: the locale's isdigit and isalnum take other bytes too.
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsNameChar(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' ||
           c == '_';
}

bool IsHexOrSeparator(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// Hexadecimal groups with colons (an IPv4 tail in dots allowed), then a zone such as %eth0.
bool IsIpv6Literal(const std::string& text) {
    const size_t zone = std::min(text.find('%'), text.size());
    return text.find(':') < zone &&
           std::all_of(text.begin(), text.begin() + zone, IsHexOrSeparator) &&
           (zone == text.size() || (zone + 1 < text.size() &&
                                    std::all_of(text.begin() + zone + 1, text.end(), IsNameChar)));
}

CByteArray BigEndian(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

}  // namespace

bool NetworkComm::IsNetworkAddress(const std::string& port) {
    return port.rfind(kRfc2217Scheme, 0) == 0 || port.rfind(kTcpScheme, 0) == 0;
}

NetworkComm::Endpoint NetworkComm::ParseAddress(const std::string& address) {
    Endpoint endpoint;
    const bool rfc2217 = address.rfind(kRfc2217Scheme, 0) == 0;
    if (!rfc2217 && address.rfind(kTcpScheme, 0) != 0) {
        endpoint.problem = "not a network address";
        return endpoint;
    }
    std::string rest = address.substr(std::strlen(rfc2217 ? kRfc2217Scheme : kTcpScheme));
    while (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    // HOST:PORT, or [IPv6]:PORT; the port is what follows the host's colon.
    size_t colon = std::string::npos;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            endpoint.problem = "no ] after the IPv6 address";
            return endpoint;
        }
        endpoint.host = rest.substr(1, close - 1);
        if (!IsIpv6Literal(endpoint.host)) {
            endpoint.problem = "not an IPv6 address between the brackets";
            return endpoint;
        }
        if (close + 1 < rest.size() && rest[close + 1] != ':') {
            endpoint.problem = "text after the ] of the IPv6 address";
            return endpoint;
        }
        colon = close + 1 < rest.size() ? close + 1 : std::string::npos;
    } else {
        colon = rest.find(':');
        endpoint.host = rest.substr(0, colon);
        if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos) {
            endpoint.problem = "an IPv6 address goes in brackets, as [::1]:PORT";
            return endpoint;
        }
        if (endpoint.host.empty()) {
            endpoint.problem = "no host";
            return endpoint;
        }
        if (!std::all_of(endpoint.host.begin(), endpoint.host.end(), IsNameChar)) {
            endpoint.problem = "a host name has only letters, digits, '.', '-' and '_'";
            return endpoint;
        }
    }
    if (colon == std::string::npos) {
        endpoint.problem = "no port after the host";
        return endpoint;
    }
    constexpr size_t kMaxPortDigits = 5;
    constexpr unsigned long kMaxPort = 65535;
    const std::string digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > kMaxPortDigits ||
        !std::all_of(digits.begin(), digits.end(), IsDigit) || std::stoul(digits) == 0 ||
        std::stoul(digits) > kMaxPort) {
        endpoint.problem = "the port must be a number from 1 to 65535";
        return endpoint;
    }
    endpoint.port = static_cast<uint16_t>(std::stoul(digits));
    return endpoint;
}

NetworkComm::NetworkComm(std::string address)
    : m_address(std::move(address)), m_endpoint(ParseAddress(m_address)) {
    m_rfc2217 = m_address.rfind(kRfc2217Scheme, 0) == 0;
    m_answers.assign(UINT8_MAX + 1, 0);
}

NetworkComm::~NetworkComm() {
    CloseQuietly();
}

bool NetworkComm::HasModemLines() const {
    return m_rfc2217;
}

void NetworkComm::Connect() {
    if (!m_endpoint.problem.empty()) {
        Fail("not an address of the form rfc2217://HOST:PORT or tcp://HOST:PORT (" +
             m_endpoint.problem + ")");
    }
    StartSockets();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    const std::string& host = m_endpoint.host;
    addrinfo* found = nullptr;
    const int resolved =
        getaddrinfo(host.c_str(), std::to_string(m_endpoint.port).c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
#ifdef _WIN32
        Fail("cannot find the host " + host + " (" + SocketErrorText(resolved) + ")");
#else
        Fail("cannot find the host " + host + " (" + gai_strerror(resolved) + ")");
#endif
    }
    std::string reason = "no address to connect to";
    for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
        const SocketHandle socket = ::socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (socket == kNoSocket) {
            reason = SocketErrorText(LastSocketError());
            continue;
        }
        SetNonBlocking(socket);
        int error = 0;
        if (::connect(socket, at->ai_addr, static_cast<int>(at->ai_addrlen)) != 0) {
            error = LastSocketError();
            if (WouldBlock(error)) {
                if (!PollSocket(socket, true, kConnectTimeoutMs)) {
                    CloseSocket(socket);
                    reason = "no answer from the server within " +
                             std::to_string(kConnectTimeoutMs / 1000) + " s";
                    continue;
                }
                socklen_t length = sizeof error;
                getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            }
        }
        if (error != 0) {
            CloseSocket(socket);
            reason = SocketErrorText(error);
            continue;
        }
        // Every frame goes out at once, not held back to be joined with the next.
        int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        m_socket = static_cast<intptr_t>(socket);
        break;
    }
    freeaddrinfo(found);
    if (m_socket == -1) {
        Fail("cannot connect: " + reason);
    }
}

void NetworkComm::OpenPort(short, const LineSettings& settings, bool dtr, bool rts) {
    Connect();
    try {
        m_decoder = telnet::Decoder{};
        m_pending.clear();
        m_opening = true;
        std::fill(m_answers.begin(), m_answers.end(), 0);
        if (m_rfc2217) {
            m_policy = std::make_unique<telnet::OptionPolicy>(true);
            for (const uint8_t option : {telnet::kBinary, telnet::kSuppressGoAhead}) {
                m_policy->Offered(telnet::kWill, option);
                m_policy->Offered(telnet::kDo, option);
            }
            m_policy->Offered(telnet::kWill, telnet::kComPort);
            Send(telnet::OpeningNegotiation(true));
            ApplySettings(settings);
            ApplyLines(dtr, rts);
            // What the server's port received before this connection is not an answer.
            Send(telnet::ComPortCommand(telnet::kPurgeData, {telnet::kPurgeBoth}));
            AwaitAnswer(telnet::kPurgeData, kControlAnswerMs);
        }
        Drain();
        m_pending.clear();
        m_opening = false;
    } catch (...) {
        m_opening = false;
        CloseQuietly();
        throw;
    }
}

void NetworkComm::ClosePort() {
    CloseQuietly();
}

void NetworkComm::CloseQuietly() noexcept {
    if (m_socket != -1) {
        CloseSocket(S(m_socket));
        m_socket = -1;
    }
    m_pending.clear();
    m_policy.reset();
}

void NetworkComm::ApplySettings(const LineSettings& settings) {
    if (!m_rfc2217) {
        return;  // a raw port keeps the settings the server gives it
    }
    uint8_t parity = telnet::kParityNone;
    switch (settings.parity) {
        case 'o':
            parity = telnet::kParityOdd;
            break;
        case 'e':
            parity = telnet::kParityEven;
            break;
        case 'm':
            parity = telnet::kParityMark;
            break;
        case 's':
            parity = telnet::kParitySpace;
            break;
        default:
            break;
    }
    const uint8_t stop = settings.stopBits == 2     ? telnet::kStopTwo
                         : settings.stopBits == 1.5 ? telnet::kStopOneAndHalf
                                                    : telnet::kStopOne;
    CByteArray commands = telnet::ComPortCommand(telnet::kSetBaudRate,
                                                 BigEndian(static_cast<uint32_t>(settings.baud)));
    for (const CByteArray& command :
         {telnet::ComPortCommand(telnet::kSetDataSize, {static_cast<uint8_t>(settings.dataBits)}),
          telnet::ComPortCommand(telnet::kSetParity, {parity}),
          telnet::ComPortCommand(telnet::kSetStopSize, {stop})}) {
        commands.insert(commands.end(), command.begin(), command.end());
    }
    Send(commands);
}

void NetworkComm::ApplyLines(bool dtr, bool rts) {
    if (!m_rfc2217 || m_linesKnownMissing) {
        return;
    }
    Send(telnet::ComPortCommand(telnet::kSetControl, {dtr ? telnet::kDtrOn : telnet::kDtrOff}));
    if (!AwaitAnswer(telnet::kSetControl, kControlAnswerMs)) {
        // The server's port has no lines to set (a pseudo-terminal), as a local one might not.
        m_linesKnownMissing = true;
        TraceNote(m_address + " does not answer modem-line requests: DTR and RTS are ignored");
        return;
    }
    Send(telnet::ComPortCommand(telnet::kSetControl, {rts ? telnet::kRtsOn : telnet::kRtsOff}));
    AwaitAnswer(telnet::kSetControl, kControlAnswerMs);
}

bool NetworkComm::AwaitAnswer(uint8_t command, int ms) {
    const uint8_t answer = static_cast<uint8_t>(command + telnet::kServerOffset);
    const int64_t deadline = NowMs() + ms;
    for (;;) {
        Drain();
        if (m_answers[answer] > 0) {
            --m_answers[answer];
            return true;
        }
        const int64_t left = deadline - NowMs();
        if (left <= 0) {
            return false;
        }
        PollSocket(S(m_socket), false, static_cast<int>(left));
    }
}

void NetworkComm::Send(const CByteArray& bytes) {
    const int64_t deadline = NowMs() + WriteLimitMs(bytes.size(), kWriteMarginMs);
    size_t sent = 0;
    while (sent < bytes.size()) {
#ifdef _WIN32
        const int done = ::send(S(m_socket), reinterpret_cast<const char*>(bytes.data() + sent),
                                static_cast<int>(bytes.size() - sent), 0);
#else
        const ssize_t done =
            ::send(S(m_socket), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
#endif
        if (done > 0) {
            sent += static_cast<size_t>(done);
            continue;
        }
        const int error = LastSocketError();
        if (done < 0 && !WouldBlock(error)) {
            Fail("the connection to the server was lost (" + SocketErrorText(error) + ")");
        }
        if (NowMs() > deadline) {
            Fail("the server did not take the data in time");
        }
        PollSocket(S(m_socket), true, 50);
    }
}

void NetworkComm::Write(const CByteArray& frame) {
    Send(m_rfc2217 ? telnet::Escape(frame) : frame);
}

void NetworkComm::Drain() {
    for (size_t taken = 0; taken < kMaxDrainBytes;) {
        uint8_t buffer[kReadChunk];
#ifdef _WIN32
        const int got = ::recv(S(m_socket), reinterpret_cast<char*>(buffer), sizeof buffer, 0);
#else
        const ssize_t got = ::recv(S(m_socket), buffer, sizeof buffer, 0);
#endif
        if (got == 0) {
            Fail("the server closed the connection");
        }
        if (got < 0) {
            const int error = LastSocketError();
            if (WouldBlock(error)) {
                break;
            }
            Fail("the connection to the server was lost (" + SocketErrorText(error) + ")");
        }
        taken += static_cast<size_t>(got);
        if (m_rfc2217) {
            Decode(buffer, static_cast<size_t>(got));
        } else {
            m_pending.insert(m_pending.end(), buffer, buffer + got);
        }
        if (m_pending.size() > kMaxPendingBytes) {
            if (!m_opening) {
                Fail("the server sent more data than a unit can");
            }
            m_pending.clear();  // not an answer to this connection: the purge drops it anyway
        }
    }
}

void NetworkComm::Decode(const uint8_t* bytes, size_t count) {
    for (size_t used = 0; used < count;) {
        used += m_decoder.Feed(bytes + used, count - used, m_pending);
        if (m_decoder.Broken()) {
            Fail("the server sent a telnet subnegotiation longer than " +
                 std::to_string(telnet::Decoder::kMaxSubnegotiationBytes) + " bytes");
        }
        AnswerCommands();
    }
}

void NetworkComm::AnswerCommands() {
    // The policy answers each request at most once, so the replies stay a few bytes however
    // often the server asks.
    CByteArray replies;
    for (const auto& [verb, option] : m_decoder.TakeNegotiations()) {
        const CByteArray reply = m_policy->Answer(verb, option);
        replies.insert(replies.end(), reply.begin(), reply.end());
    }
    for (const auto& sub : m_decoder.TakeSubnegotiations()) {
        if (sub.option == telnet::kComPort && !sub.payload.empty() &&
            m_answers[sub.payload[0]] < UINT8_MAX) {
            ++m_answers[sub.payload[0]];
        }
    }
    if (!replies.empty()) {
        Send(replies);
    }
}

size_t NetworkComm::BytesWaiting() {
    Drain();
    return m_pending.size();
}

CByteArray NetworkComm::ReadAll() {
    Drain();
    CByteArray taken;
    taken.swap(m_pending);
    return taken;
}

bool NetworkComm::WaitInput(int64_t timeoutNs) {
    const int64_t deadline = NowMs() + WaitMs(timeoutNs);
    for (;;) {
        Drain();
        if (!m_pending.empty()) {
            return true;
        }
        const int64_t left = deadline - NowMs();
        if (left <= 0) {
            return false;
        }
        // Telnet commands wake the wait too; only data ends it.
        PollSocket(S(m_socket), false, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    }
}
