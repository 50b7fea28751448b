#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>

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

namespace markup_internal {

// outer_html_of with the parse's budget (CPU seconds, bytes of parser memory) given instead of
// derived from the page size. A parse that runs out of its budget is redone with every element
// closed right after its start tag. For tests of that path.
QString outer_html_of(const QString &page_text, double cpu_seconds, std::size_t bytes);

}  // namespace markup_internal

}  // namespace velmoth
