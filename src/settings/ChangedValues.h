#pragma once

#include "settings/Regi1632.h"

#include <QString>

#include <functional>
#include <map>
#include <string>
#include <vector>

// What a settings dialog showed at its latest showing, so that its Ok writes
// only what changed there: values another copy of the program saved
// meanwhile stay. A value never stored is written too, unless it was stored
// meanwhile.
class ChangedValues final {
public:
    // One value at Ok: its name, the control's state as text, and its stored
    // form. The stored form is asked for only of a value to be written, and
    // all of them before anything is written, so a conversion that throws
    // leaves the store untouched.
    struct Now {
        std::string name;
        QString shown;
        std::function<std::string()> storedForm;
    };

    // A showing starts: what the previous one showed no longer counts.
    void Clear() { showing_.clear(); }
    void Showing(const std::string& name, const QString& shown, bool stored) { showing_[name] = {shown, stored}; }

    // Writes what changed below the configuration key, then does `more`, all
    // in one transaction: whole or not at all. Raises Exception saying the
    // settings were not saved when the store fails.
    void Write(TRegistry1632& settings, const std::vector<Now>& now, const std::function<void()>& more = {}) const;

private:
    struct Shown {
        QString text;
        bool stored;
    };
    std::map<std::string, Shown> showing_;
};
