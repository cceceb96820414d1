#include "serial/commerror.h"

#include <utility>

CommError::CommError(ErrorNumber number, QString description)
    : m_number(static_cast<qint32>(number))
    , m_description(std::move(description))
{}
