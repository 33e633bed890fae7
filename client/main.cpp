#include "client/ClientApp.h"

int main(int argc, char** argv) { return client::RunTarvoAgentCliente(argc, argv); }
