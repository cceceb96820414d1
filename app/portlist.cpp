// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/portlist.h"

#include <utility>

PortList::PortList(QWidget *parent)
    : QComboBox(parent)
{
    connect(this, &QComboBox::currentIndexChanged, this, &PortList::describeSelection);
}

void PortList::setTooltips(Tooltips tooltips)
{
    m_tooltips = std::move(tooltips);
    refreshTooltips();
}

void PortList::refreshTooltips()
{
    if (!m_tooltips)
        return;
    const QStringList tips = m_tooltips();
    for (int entry = 0; entry < count() && entry < tips.size(); ++entry) {
        setItemData(entry, tips[entry], Qt::ToolTipRole);
        setItemData(entry, tips[entry], Qt::AccessibleDescriptionRole);
    }
    describeSelection();
}

void PortList::showPopup()
{
    refreshTooltips();
    QComboBox::showPopup();
}

void PortList::describeSelection()
{
    setAccessibleDescription(currentData(Qt::ToolTipRole).toString());
}
