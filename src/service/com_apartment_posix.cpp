// POSIX only.
#include "service/com_apartment.h"

ComApartment::ComApartment() {}
ComApartment::~ComApartment() {}
