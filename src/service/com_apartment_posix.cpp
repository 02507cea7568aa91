// POSIX only.
#include "service/com_apartment.h"

ComApartment::ComApartment() { (void)initialised_; }
ComApartment::~ComApartment() {}
