#include "agent/AgentHost.h"

int main() { return agent::AgentMain(); }
