#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// A byte sequence: a frame sent, a reply received, or a reply pattern.
using CByteArray = std::vector<uint8_t>;

// Empties `array`, then appends `count` bytes from `bytes`, in order.
void FillByteArray(CByteArray& array, const uint8_t* bytes, int count);

// Replies are compared as whole values: a reply matches a one-byte pattern only if exactly that
// one byte was waiting.
inline bool ReplyEquals(const CByteArray& reply, const CByteArray& pattern) {
    return reply == pattern;
}

// A serial operation the system refused: a missing port, a port in use, no permission, a device
// unplugged in the middle of a run. The text names the port and the system's reason.
class CommError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Line settings as "baud,parity,data bits,stop bits", for example "9600,n,8,1".
struct LineSettings {
    int baud = 9600;
    char parity = 'n';  // n, e, o, m or s
    int dataBits = 8;
    double stopBits = 1;

    // Throws CommError for a text of any other form.
    static LineSettings Parse(const std::string& text);
    bool operator==(const LineSettings&) const = default;
};

// The serial port as the logic uses it: exactly nine operations. One Output is one frame, sent
// in order; GetInput takes everything waiting at once; nothing is buffered here.
// The back ends (a real serial port, the simulated unit) fill in the protected operations.
// Every operation may throw CommError.
class CMSComm {
public:
    enum class Direction { Sent, Received, Note };
    using TraceFn = std::function<void(Direction, const CByteArray&)>;

    virtual ~CMSComm() = default;

    // Selects the port by number (1 is COM1). On an open port the same number is accepted
    // without effect; another number is refused.
    void SetCommPort(short port);
    // May change while the port is open.
    void SetSettings(const std::string& settings);
    void SetPortOpen(bool open);
    // The modem lines; requested on a closed port, they take effect when it opens.
    void SetDTREnable(bool on);
    void SetRTSEnable(bool on);
    // 1 is binary, 0 text; received data comes as bytes either way.
    void SetInputMode(long mode);
    void Output(const CByteArray& frame);
    short GetInBufferCount();
    CByteArray GetInput();

    // Sleeps until input is waiting or `timeoutNs` has passed, whichever comes first; true when
    // input is waiting. Returns false at once on a closed port. Not one of the nine: the hosts'
    // waits use it so that a wait costs no processor time and still sees an answer at once.
    bool WaitForInput(int64_t timeoutNs);
    // A system event (a Windows HANDLE) that is signalled when input may have arrived, armed by
    // this call, so a host can wait on it together with its window messages; nullptr on a closed
    // port or a back end without one. Input already waiting may not signal it: check with
    // WaitForInput(0) after arming, before waiting.
    void* InputEvent() { return m_bOpen ? ArmInputEvent() : nullptr; }

    // Closes the port whatever state the device is in; for abandoning a command after an error.
    void ForceClose() noexcept;

    // What the port holds, for hosts and tests.
    bool GetPortOpen() const { return m_bOpen; }
    short GetCommPort() const { return m_nPort; }
    bool GetDTREnable() const { return m_bDTR; }
    bool GetRTSEnable() const { return m_bRTS; }
    const LineSettings& GetSettings() const { return m_settings; }
    // The system's name of a port number, as messages show it ("COM3", "/dev/ttyUSB0").
    virtual std::string PortName(short port) const = 0;
    // False for a port that has no modem lines at all (a raw network socket): the boot road,
    // which drives the controller through DTR and RTS, cannot run on it.
    virtual bool HasModemLines() const { return true; }

    // Every frame sent and every reply taken is handed to `trace` as well.
    void SetTrace(TraceFn trace) { m_trace = std::move(trace); }

protected:
    virtual void OpenPort(short port, const LineSettings& settings, bool dtr, bool rts) = 0;
    virtual void ClosePort() = 0;
    virtual void ApplySettings(const LineSettings& settings) = 0;
    virtual void ApplyLines(bool dtr, bool rts) = 0;
    virtual void Write(const CByteArray& frame) = 0;
    virtual size_t BytesWaiting() = 0;
    virtual CByteArray ReadAll() = 0;

    // How long the system may take to send `bytes` at the current rate: their line time at the
    // slowest framing, and `marginMs` for the system itself.
    int64_t WriteLimitMs(size_t bytes, int64_t marginMs) const;
    // A wait in nanoseconds as the whole milliseconds the system's waits take, rounded up so
    // that a wait never ends before its deadline.
    static int WaitMs(int64_t ns);

    // Back ends that cannot wait on input sleep the whole time.
    virtual bool WaitInput(int64_t timeoutNs);
    virtual void* ArmInputEvent() { return nullptr; }
    // A remark for the trace, such as a request the port cannot carry out.
    void TraceNote(const std::string& text);

    // A CommError whose text names the current port.
    [[noreturn]] void Fail(const std::string& reason) const;

private:
    friend class SelectableComm;  // forwards to the back end of the port chosen
    void RequireOpen(const char* operation) const;

    short m_nPort = 1;
    LineSettings m_settings;
    bool m_bOpen = false;
    bool m_bDTR = false;
    bool m_bRTS = false;
    long m_nInputMode = 0;
    TraceFn m_trace;
};
