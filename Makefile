# The two commands of the project: `make run` and `make test`.
BUILD_DIR ?= build
RUN_DIR ?= $(CURDIR)/run
JOBS ?= $(shell nproc)

SANITIZE_DIR ?= build-sanitize
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build programs test test-package run deb clean sanitize fuzz-build fuzz fuzz-replay

all: build

deps:
	@scripts/setup-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The installed programs only, for `make run`.
programs: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target AgentTarvoService TarvoWDService TarvoServiceInstaller TarvoAgentCliente tarvo-sc tarvo-get

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j 2 --timeout 600 -LE package

# The package build and its checks (files, units, lintian): a whole second build.
test-package: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -L package

run: programs
	@scripts/run-agent.sh $(BUILD_DIR) $(RUN_DIR)

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer,
# run so that the first report fails it. Light optimisation and line tables
# only: enough for the reports' stacks, in far less build time.
sanitize: deps
	@cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_CXX_FLAGS_SANITIZE="-O1 -g1" \
	  -DTARVO_SANITIZE=ON >/dev/null
	@cmake --build $(SANITIZE_DIR) -j $(JOBS)
	@scripts/run-sanitized-tests.sh $(SANITIZE_DIR)

# The libFuzzer targets (clang): `make fuzz` runs each for FUZZ_SECONDS,
# `make fuzz-replay` runs each over its stored corpus once.
fuzz-build: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARVO_FUZZ=ON -DTARVO_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers

fuzz: fuzz-build
	@scripts/run-fuzzers.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

fuzz-replay: fuzz-build
	@scripts/run-fuzzers.sh $(FUZZ_DIR) 0

# The Debian package, built by debhelper from a copy of the sources so that the
# .deb and the build files stay inside $(BUILD_DIR)/deb.
deb: deps
	@scripts/build-deb.sh $(BUILD_DIR)/deb

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR)
