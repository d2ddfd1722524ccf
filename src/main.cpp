// SPDX-License-Identifier: MIT
#include "QuenlarkCompanionApp.hpp"

int main(int argc, char** argv)
{
    return quenlark::QuenlarkCompanionApp::main(argc, argv);
}
