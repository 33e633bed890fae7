# The two commands of the project: `make run` and `make test`.
BUILD_DIR ?= build
RUN_DIR ?= $(CURDIR)/run
JOBS ?= $(shell nproc)

.PHONY: all deps configure build programs test test-package run deb clean

all: build

deps:
	@scripts/setup-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The installed programs only, for `make run`.
programs: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target AgentTarvoService tarvo-sc

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j 2 --timeout 600 -LE package

# The package build and its checks (files, units, lintian): a whole second build.
test-package: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -L package

run: programs
	@scripts/run-agent.sh $(BUILD_DIR) $(RUN_DIR)

# The Debian package, built by debhelper from a copy of the sources so that the
# .deb and the build files stay inside $(BUILD_DIR)/deb.
deb: deps
	@scripts/build-deb.sh $(BUILD_DIR)/deb

clean:
	rm -rf $(BUILD_DIR)
