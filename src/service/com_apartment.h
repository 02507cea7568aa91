// Joins the calling thread to COM's multithreaded apartment for the object's life (the WMI
// sampler needs it); nothing on platforms without COM.
#pragma once

class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_ = false;
};
