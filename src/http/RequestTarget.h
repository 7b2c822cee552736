// What a request names: the path of its target (origin-form or absolute-form)
// and whether the host it was sent to is this machine. A page elsewhere that
// a rebinding name points at this server sends that name as its host, and is
// refused. Needs no window.
#ifndef HTTP_REQUESTTARGET_H
#define HTTP_REQUESTTARGET_H

#include <QByteArray>
#include <QByteArrayList>

// The names this machine answers to besides IP literals: localhost, its host
// name, the host name's first label and that label under .local.
QByteArrayList OwnHostNames();

// Whether a Host header (or an absolute target's authority) names this
// machine: an IPv4 or bracketed IPv6 literal, or one of `names`, with or
// without a port. Case does not matter.
bool HostIsOurs(const QByteArray &host, const QByteArrayList &names);

// The path of a request target: "/x" as it is; "http://authority/x" as "/x",
// with its authority. False for any other form.
bool SplitTarget(const QByteArray &target, QByteArray &path, QByteArray &authority);

#endif
