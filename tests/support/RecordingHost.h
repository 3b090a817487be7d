#pragma once

#include <deque>
#include <string>
#include <vector>

#include "framework/Host.h"

// Records every message box and answers from a script (IDOK once the script runs out).
class RecordingHost : public Host {
public:
    struct Message {
        std::string text;
        unsigned type;
    };

    int MessageBox(const std::string& text, unsigned type) override {
        m_messages.push_back({text, type});
        if (m_answers.empty()) {
            return IDOK;
        }
        const int answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const Message& message : m_messages) {
            texts.push_back(message.text);
        }
        return texts;
    }

    std::vector<Message> m_messages;
    std::deque<int> m_answers;
};
