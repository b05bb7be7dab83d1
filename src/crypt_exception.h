#ifndef CRYPT_EXCEPTION_H
#define CRYPT_EXCEPTION_H

#include <exception>
#include <string>

// The one exception of the updater's own code: a failed crypto library call. The text is the
// failed operation's name, a colon and the library's error text.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(const char *message);
    explicit crypt_exception(const std::string &message);

    const char *what() const noexcept override;

private:
    std::string m_message;
};

#endif // CRYPT_EXCEPTION_H
