#include "crypt_exception.h"

crypt_exception::crypt_exception(const char *message)
    : m_message(message ? message : "")
{ }

crypt_exception::crypt_exception(const std::string &message)
    : m_message(message)
{ }

const char *crypt_exception::what() const noexcept
{
    return m_message.c_str();
}
