// What the web server says in words: the viewer's status as JSON, and the
// one page, which shows the live picture from the stream and the status,
// refreshed by a few lines of its own script. Needs no window.
#ifndef HTTP_STATUSPAGE_H
#define HTTP_STATUSPAGE_H

#include "http/FrameHandover.h"

#include <QByteArray>

// /status.json, for the viewer that has run for uptimeSeconds.
QByteArray StatusJson(const ViewerStatus &status, qint64 uptimeSeconds);

// The page at /, with the status of the moment already filled in, so that
// it says something even where its script does not run.
QByteArray StatusPage(const ViewerStatus &status, qint64 uptimeSeconds);

#endif
