#ifndef ASUSER_TEST_SUPPORT_H
#define ASUSER_TEST_SUPPORT_H

// Runs the rest of a scope with the file rights of an ordinary user ("nobody"), for tests of
// what such a user may not change. Only root can switch and back, so elsewhere active() is
// false and the test skips itself. Every thread of the process changes with it.

#include <grp.h>
#include <sys/types.h>
#include <unistd.h>

#include <vector>

class AsOrdinaryUser
{
public:
    static constexpr uid_t uid = 65534;
    static constexpr gid_t gid = 65534;

    AsOrdinaryUser()
    {
        if (::geteuid() != 0)
            return;
        const int count = ::getgroups(0, nullptr);
        if (count < 0)
            return;
        m_groups.resize(size_t(count));
        if (::getgroups(count, m_groups.data()) != count || ::setgroups(0, nullptr) != 0)
            return;
        if (::setegid(gid) != 0) {
            restoreGroups();
            return;
        }
        if (::seteuid(uid) != 0) {
            (void)::setegid(m_gid);
            restoreGroups();
            return;
        }
        m_active = true;
    }

    ~AsOrdinaryUser()
    {
        if (!m_active)
            return;
        (void)::seteuid(0);
        (void)::setegid(m_gid);
        restoreGroups();
    }

    AsOrdinaryUser(const AsOrdinaryUser &) = delete;
    AsOrdinaryUser &operator=(const AsOrdinaryUser &) = delete;

    bool active() const { return m_active; }

private:
    void restoreGroups() { (void)::setgroups(m_groups.size(), m_groups.data()); }

    std::vector<gid_t> m_groups;
    gid_t m_gid = ::getegid();
    bool m_active = false;
};

#endif // ASUSER_TEST_SUPPORT_H
