#include "Startup.h"

int main(int argc, char **argv) {
    return castora::runApplication(argc, argv);
}
