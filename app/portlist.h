// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#pragma once

#include <QComboBox>
#include <QStringList>

#include <functional>

// The port list: a closed list whose entries' tooltips say what stands behind each entry. They
// are brought up to date each time the list opens, so a device plugged in meanwhile shows.
// Assistive tools, which see no tooltips, get the same text as each entry's description and the
// selected entry's as the list's own.
class PortList : public QComboBox
{
    Q_OBJECT

public:
    // The tooltip of every entry, in entry order.
    using Tooltips = std::function<QStringList()>;

    explicit PortList(QWidget *parent = nullptr);

    void setTooltips(Tooltips tooltips);
    void refreshTooltips();
    void showPopup() override;

private:
    void describeSelection();

    Tooltips m_tooltips;
};
