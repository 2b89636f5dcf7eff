// Keeps a line edit's text within a number of UTF-8 bytes while the user types
// or pastes: what does not fit of the newest input is cut off, the way a
// length-limited edit box takes only what fits of a paste.
#pragma once

#include <QValidator>

class ByteLimitValidator : public QValidator {
    Q_OBJECT
public:
    ByteLimitValidator(int limit, QObject* parent);
    State validate(QString& input, int& position) const override;
    int Limit() const { return limit_; }

private:
    int limit_;
};
