# The two commands of the project: `make run` and `make test`.
BUILD_DIR ?= build
RUN_DIR ?= $(CURDIR)/run
JOBS ?= $(shell nproc)

.PHONY: all deps configure build programs test run clean

all: build

deps:
	@scripts/setup-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The installed programs only, for `make run`.
programs: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target AgentTarvoService tarvo-sc TarvoAgentCliente

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j 2 --timeout 600

run: programs
	@scripts/run-agent.sh $(BUILD_DIR) $(RUN_DIR)

clean:
	rm -rf $(BUILD_DIR)
