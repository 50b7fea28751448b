#pragma once

#include <QByteArray>
#include <QString>

namespace velmoth {

// Turns the bytes of a fetched page into the text form that the reply reader and callers of
// Browser::outerHTML() read: decoded by its charset, parsed as HTML5 and serialized in the
// classic browser-control style (upper-case element names, a CR LF before <BODY>, ...).
//
// content_type is the value of the Content-Type header (may be empty). The charset is taken from
// it, else from a <meta> in the page, else UTF-8; an unknown charset or invalid bytes decode as
// UTF-8 with U+FFFD.
QString document_outer_html(const QByteArray &body, const QByteArray &content_type);

// The same serialization for text that is already decoded.
QString outer_html_of(const QString &page_text);

}  // namespace velmoth
