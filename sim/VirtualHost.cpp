#include "sim/VirtualHost.h"

int VirtualHost::MessageBox(const std::string& text, unsigned type) {
    m_messages.push_back({m_virtualClock.NowNs(), text, type});
    if (m_answers.empty()) {
        return (type & MB_TYPEMASK) == MB_YESNO ? DefaultAnswer(type) : IDOK;
    }
    const int answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

void VirtualHost::Show(const CDialog& dlg) {
    m_shown.push_back({m_virtualClock.NowNs(), dlg.Title(), dlg.StatusText(), dlg.ProgressPos(),
                       dlg.ProgressHigh()});
}

void VirtualHost::DrawText(int x, int y, const std::string& text) {
    m_drawn.push_back({x, y, text});
}

std::vector<std::string> VirtualHost::Texts() const {
    std::vector<std::string> texts;
    for (const Message& message : m_messages) {
        texts.push_back(message.text);
    }
    return texts;
}

void VirtualHost::OpenDialog(CDialog& dlg) {
    m_opened.push_back(dlg.Title());
}

bool VirtualHost::WaitUntil(CDialog& dlg, int64_t ns) {
    if (m_cancelAtNs && *m_cancelAtNs <= ns) {
        m_virtualClock.SleepUntilNs(*m_cancelAtNs);
        m_cancelAtNs.reset();
        return false;
    }
    return Host::WaitUntil(dlg, ns);
}
