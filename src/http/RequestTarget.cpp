#include "http/RequestTarget.h"

#include <QRegularExpression>
#include <arpa/inet.h>
#include <climits>
#include <unistd.h>

namespace {

// The host without its port: "[::1]:8080" gives "::1", "board:80" "board".
QByteArray WithoutPort(const QByteArray &host)
{
    if (host.startsWith('[')) {
        const int end = host.indexOf(']');
        const QByteArray rest = host.mid(end + 1);
        return end > 0 && (rest.isEmpty() || rest.startsWith(':')) ? host.mid(1, end - 1) : QByteArray();
    }
    const int colon = host.lastIndexOf(':');
    return colon < 0 ? host : host.left(colon);
}

bool IsIpLiteral(const QByteArray &host, bool bBracketed)
{
    unsigned char address[sizeof(in6_addr)];
    return bBracketed ? inet_pton(AF_INET6, host.constData(), address) == 1
                      : inet_pton(AF_INET, host.constData(), address) == 1;
}

} // namespace

QByteArrayList OwnHostNames()
{
    QByteArrayList names {"localhost"};
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
        const QByteArray full = QByteArray(name).toLower();
        const QByteArray label = full.left(full.indexOf('.') < 0 ? full.size() : full.indexOf('.'));
        for (const QByteArray &own : {full, label, label + ".local"}) {
            if (!names.contains(own))
                names << own;
        }
    }
    return names;
}

bool HostIsOurs(const QByteArray &host, const QByteArrayList &names)
{
    static const QRegularExpression port(QStringLiteral("^(\\[[^\\]]*\\]|[^:\\[\\]]*)(:[0-9]{0,5})?$"));
    if (!port.match(QString::fromLatin1(host)).hasMatch())
        return false;
    const QByteArray name = WithoutPort(host).toLower();
    if (name.isEmpty())
        return false;
    // A name that ends in a dot is the same name, fully qualified.
    const QByteArray plain = name.endsWith('.') ? name.chopped(1) : name;
    return IsIpLiteral(name, host.startsWith('[')) || names.contains(plain);
}

bool SplitTarget(const QByteArray &target, QByteArray &path, QByteArray &authority)
{
    authority.clear();
    if (target.startsWith('/')) {
        path = target;
        return true;
    }
    const QByteArray scheme = target.left(7).toLower();
    const int start = scheme == "http://" ? 7 : target.left(8).toLower() == "https://" ? 8 : -1;
    if (start < 0)
        return false;
    const int slash = target.indexOf('/', start);
    authority = target.mid(start, slash < 0 ? -1 : slash - start);
    path = slash < 0 ? QByteArray("/") : target.mid(slash);
    return !authority.isEmpty();
}
