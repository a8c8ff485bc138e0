// tarn-call: calls one method of a server over HTTP (see call/Call.h).
#include <iostream>

#include "call/Call.h"

int main(int argc, char** argv) { return TarnCall::Run(argc, argv, std::cout, std::cerr); }
