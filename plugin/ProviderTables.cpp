// The host's provider classes are defined wholly in its headers, so the
// plug-in carries their tables of virtual functions and type information.
// With optimisation every reference to the base classes' tables disappears
// (the constructors' stores of them are overwritten at once), the tables are
// not emitted, and the host could not find them in the library.  This unit is
// built without optimisation: its out-of-line copies of the provider chain's
// constructors keep all three tables in the library.
#include <new>

#include "UPSBattery29Provider.h"

__attribute__((used)) static Provider* ConstructProviderChain(void* where) { return new (where) UPSBattery29Provider(); }
