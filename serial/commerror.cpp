#include "serial/commerror.h"

#include <utility>

CommError::CommError(ErrorNumber number, QString description)
    : m_number(number)
    , m_description(std::move(description))
{}
