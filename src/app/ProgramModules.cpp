#include "app/ProgramModules.h"
#include "sock/AddressHelpers.h"
#include "sock/SocketModule.h"

ProgramModules::ProgramModules()
{
    StartAddressHelpers();
    try {
        // Raises when the socket layer cannot start: the program does not run.
        StartSocketModule();
    } catch (...) {
        EndAddressHelpers();
        throw;
    }
}

ProgramModules::~ProgramModules()
{
    EndSocketModule();
    EndAddressHelpers();
}
