#pragma once

#include "framework/Component.h"

#include <vector>

// A non-visual component with a list of linked objects, each told when the
// component goes away.
class T_NetComponent : public TComponent {
public:
    ~T_NetComponent() override
    {
        for (T_NetComponent* linked : Links)
            if (linked)
                linked->LinkNotify(this);
    }
    virtual void LinkNotify(T_NetComponent*) {}

    std::vector<T_NetComponent*> Links;
};
