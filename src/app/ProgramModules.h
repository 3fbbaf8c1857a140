#pragma once

// The program's modules, started before any window exists and ended after the
// last one is gone, in reverse order.
class ProgramModules final {
public:
    ProgramModules();
    ~ProgramModules();
    ProgramModules(const ProgramModules&) = delete;
    ProgramModules& operator=(const ProgramModules&) = delete;
};
