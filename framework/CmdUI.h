#pragma once

// The state of one command in menus and toolbars, as its update rule leaves it.
class CCmdUI {
public:
    explicit CCmdUI(unsigned id) : m_nID(id) {}

    void Enable(bool on = true) { m_bEnabled = on; }
    void SetCheck(int check = 1) { m_nCheck = check; }

    unsigned m_nID;
    bool m_bEnabled = true;
    int m_nCheck = 0;
};
