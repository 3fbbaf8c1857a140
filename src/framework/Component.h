#pragma once

// Base of the objects that events name as their sender.
class TObject {
public:
    virtual ~TObject() = default;
};

// A non-visual part owned by a window.
class TComponent : public TObject {
};
