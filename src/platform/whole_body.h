// Whether a received body is complete.
#pragma once

#include <QString>
#include <optional>

class QNetworkReply;
class QNetworkRequest;

namespace velmoth {

// A page is read only when it is known to have arrived whole. Qt 6.4 reports some replies whose
// connection broke in the middle of the body as finished without an error: compressed bodies
// (which it inflates, dropping the declared length) and, about half the time on the loopback,
// chunked bodies that lack their last chunk. A body that declares its length can be checked; a
// chunked or compressed one cannot, through what Qt shows, so it is refused. (The service sends
// every page with its length.)

// Asks for the body as it is, neither compressed nor otherwise encoded.
void ask_for_plain_body(QNetworkRequest &request);

// Once the reply's head is in: why its body can never be taken as whole, or nothing.
std::optional<QString> unverifiable_body_reason(const QNetworkReply &reply);

// Once the reply has finished with received body bytes: why they are not the whole body, or
// nothing.
std::optional<QString> incomplete_body_reason(const QNetworkReply &reply, qint64 received);

}  // namespace velmoth
