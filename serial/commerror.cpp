// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "serial/commerror.h"

#include <utility>

CommError::CommError(ErrorNumber number, QString description, QList<PortHolder> holders)
    : m_number(number)
    , m_description(std::move(description))
    , m_holders(std::move(holders))
{}
