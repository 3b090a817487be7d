#pragma once

#include <memory>
#include <string>

#include "link/MSComm.h"
#include "link/Telnet.h"

// A serial port on a serial server across the network: "rfc2217://HOST:PORT" (telnet with the
// COM-PORT-OPTION: line settings and modem lines travel to the server's port) or
// "tcp://HOST:PORT" (a raw socket; the server's port keeps whatever settings it has and has no
// modem lines). Opening connects, closing disconnects. Data bytes go through unchanged: 0xFF
// is doubled on the way out and undoubled on the way in, and telnet commands never reach the
// logic.
class NetworkComm : public CMSComm {
public:
    // True when `port` is a network address this back end takes.
    static bool IsNetworkAddress(const std::string& port);

    // The parts of "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (an IPv6 HOST in brackets).
    struct Endpoint {
        std::string host;  // without the brackets
        uint16_t port = 0;
        std::string problem;  // what is wrong with the address; empty when it is good
    };
    static Endpoint ParseAddress(const std::string& address);

    explicit NetworkComm(std::string address);
    ~NetworkComm() override;
    NetworkComm(const NetworkComm&) = delete;
    NetworkComm& operator=(const NetworkComm&) = delete;

    std::string PortName(short) const override { return m_address; }
    bool HasModemLines() const override;

    // How long a connection may take to be made, and how long a server may take to answer a
    // modem-line request before the lines count as missing (a server on a pseudo-terminal never
    // answers one).
    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr int kControlAnswerMs = 1000;
    // A unit at 9600 baud sends about 1 KB a second, and the logic takes every answer as it
    // comes: data the logic has not taken beyond this is a server gone wrong.
    static constexpr size_t kMaxPendingBytes = 64 * 1024;
    // The most one look at the connection reads, so that a flood of commands cannot hold a wait
    // past its deadline; more than the data bound, so that a flood of data is seen as one.
    static constexpr size_t kMaxDrainBytes = 4 * kMaxPendingBytes;

protected:
    void OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) override;
    void ClosePort() override;
    void ApplySettings(const LineSettings& settings) override;
    void ApplyLines(bool dtr, bool rts) override;
    void Write(const CByteArray& frame) override;
    size_t BytesWaiting() override;
    CByteArray ReadAll() override;
    bool WaitInput(int64_t timeoutNs) override;

private:
    void Connect();
    void Send(const CByteArray& bytes);
    // Reads what the connection holds: data to m_pending, commands answered or noted.
    void Drain();
    // Takes `count` received bytes through the telnet layer and answers its commands.
    void Decode(const uint8_t* bytes, size_t count);
    void AnswerCommands();
    // Waits up to `ms` for the server's answer to COM-PORT command `command`.
    bool AwaitAnswer(uint8_t command, int ms);
    void CloseQuietly() noexcept;

    std::string m_address;
    bool m_rfc2217 = false;
    Endpoint m_endpoint;
    bool m_opening = false;  // data before the purge is answered is not the unit's answer
    intptr_t m_socket = -1;
    telnet::Decoder m_decoder;
    std::unique_ptr<telnet::OptionPolicy> m_policy;
    CByteArray m_pending;
    std::vector<uint8_t> m_answers;    // COM-PORT answers received, by command code
    bool m_linesKnownMissing = false;  // the server did not answer a line request
};
