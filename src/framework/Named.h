#pragma once

// Gives a control its name, so tests and style sheets find it by that name.
template <typename W>
W* Named(W* widget, const char* name)
{
    widget->setObjectName(name);
    return widget;
}
