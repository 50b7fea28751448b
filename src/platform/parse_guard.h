#pragma once

#include <QByteArrayView>
#include <string>

// Rewriting the page source before it is parsed, to keep the parser clear of its faults.

namespace velmoth::markup_detail {

// Returns the text the parser gets: the source itself when nothing needs rewriting. The
// references are looked for after the guard's edits are applied, as those may turn markup into
// text.
QByteArrayView prepare_source(QByteArrayView text, std::string &storage, bool flatten_all);

}  // namespace velmoth::markup_detail
