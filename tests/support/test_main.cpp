#include <gmock/gmock.h>

#include "sim/simulation_provider.h"

int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    useSimulationImages();
    return RUN_ALL_TESTS();
}
