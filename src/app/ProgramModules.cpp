#include "app/ProgramModules.h"
#include "icmp/IcmpModule.h"
#include "sock/AddressHelpers.h"
#include "sock/SocketModule.h"

ProgramModules::ProgramModules()
{
    StartAddressHelpers();
    ProbeIcmp(); // needs Winsock started
    try {
        // Raises when the socket layer cannot start: the program does not run.
        StartSocketModule();
    } catch (...) {
        EndIcmpModule();
        EndAddressHelpers();
        throw;
    }
}

ProgramModules::~ProgramModules()
{
    EndSocketModule();
    EndIcmpModule();
    EndAddressHelpers();
}
