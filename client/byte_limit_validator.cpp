#include "client/byte_limit_validator.h"

namespace {

qsizetype Utf8Size(const QString& text) { return text.toUtf8().size(); }

// Length of the code point that ends just before index (1, or 2 for a pair).
int CodePointBefore(const QString& text, int index) {
    if (index >= 2 && text.at(index - 1).isLowSurrogate() && text.at(index - 2).isHighSurrogate()) return 2;
    return 1;
}

}  // namespace

ByteLimitValidator::ByteLimitValidator(int limit, QObject* parent) : QValidator(parent), limit_(limit) {}

QValidator::State ByteLimitValidator::validate(QString& input, int& position) const {
    if (Utf8Size(input) <= limit_) return Acceptable;
    // The newest input ends at the cursor: drop code points before it first,
    // then from the end should the text still be too long.
    if (position < 0 || position > input.size()) position = static_cast<int>(input.size());
    while (Utf8Size(input) > limit_ && position > 0) {
        int n = CodePointBefore(input, position);
        input.remove(position - n, n);
        position -= n;
    }
    while (Utf8Size(input) > limit_ && !input.isEmpty()) {
        input.chop(CodePointBefore(input, static_cast<int>(input.size())));
    }
    return Acceptable;
}
