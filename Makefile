# Thin front end over CMake. `make run` builds the program alone in its own
# folder and runs it in run/ (seeded with an example assignment); `make test`
# builds and runs every test, also those of the BOINC build in its own folder;
# `make boinc-app` assembles the BOINC build's app versions. Each target first
# installs what it needs and nothing more (scripts/install-deps.sh).
BUILD ?= build
BOINC_BUILD ?= build-boinc
# The program and its library only: no tests, no CUDA build, no benchmarks.
RUN_BUILD ?= build-run
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The CUDA build of this tree carries one architecture so that `make test`
# stays quick; CUDA_ARCHS=all (in a fresh BUILD) gives the release set.
CUDA_ARCHS ?= 75
# The number of the BOINC app versions (<major>.<minor>).
APP_VERSION ?= 1.00
BOINC_CONFIGURE = cmake -S . -B $(BOINC_BUILD) -DCMAKE_BUILD_TYPE=Release -DQUILBREX_BOINC=ON \
  "-DQUILBREX_CUDA_ARCHS=$(CUDA_ARCHS)" "-DQUILBREX_APP_VERSION=$(APP_VERSION)"

.PHONY: all build boinc boinc-app deps reconfigure test run selftest bench fuzz cuda sass-profile model include-graph clean

all: build

# deps-run, deps-test, ...: what that target needs (deps: the program's needs).
deps: deps-run
deps-%:
	@sh scripts/install-deps.sh $*

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release "-DQUILBREX_CUDA_ARCHS=$(CUDA_ARCHS)"

build: deps-run $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

$(BOINC_BUILD)/CMakeCache.txt:
	$(BOINC_CONFIGURE)

boinc: deps-boinc $(BOINC_BUILD)/CMakeCache.txt
	cmake --build $(BOINC_BUILD) -j$(JOBS)

# The host app version and, where nvcc is found, the CUDA one, under
# $(BOINC_BUILD)/app-versions/ as the project's apps folder holds them. A
# release carries every architecture: make boinc-app CUDA_ARCHS=all in a fresh
# BOINC_BUILD.
boinc-app: deps-boinc
	$(BOINC_CONFIGURE)
	cmake --build $(BOINC_BUILD) -j$(JOBS) --target app_versions

# Configures BUILD again, so that a folder first made without GoogleTest
# gets its tests (and fuzz targets) once it is installed.
reconfigure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release "-DQUILBREX_CUDA_ARCHS=$(CUDA_ARCHS)"

# ctest fails when no test was built.
test: deps-test reconfigure
	cmake --build $(BUILD) -j$(JOBS)
	$(BOINC_CONFIGURE)
	cmake --build $(BOINC_BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS)
	cd $(BOINC_BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS)

$(RUN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(RUN_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQUILBREX_BUILD_CUDA=OFF \
	  -DQUILBREX_BENCH=OFF

# The program ends with status 6 when every assignment is done and 1 when
# there was none; both are normal ends of a run, so make reports the status
# instead of failing on it.
run: deps-run $(RUN_BUILD)/CMakeCache.txt
	cmake --build $(RUN_BUILD) -j$(JOBS) --target quilbrex
	@mkdir -p run
	@[ -f run/worktodo.txt ] || cp examples/worktodo.txt run/worktodo.txt
	@cd run && ../$(RUN_BUILD)/quilbrex; status=$$?; \
	  echo; echo "quilbrex ended with exit status $$status (6: all work done, 1: no assignment or a refusal, 255: runtime error)"; \
	  [ $$status -eq 6 ] || [ $$status -eq 1 ]

# Checks that this build computes every factor test right; run it first on a
# new machine or device.
selftest: deps-run $(RUN_BUILD)/CMakeCache.txt
	cmake --build $(RUN_BUILD) -j$(JOBS) --target quilbrex_selftest
	$(RUN_BUILD)/quilbrex_selftest

bench: deps-bench build
	@for b in $(BUILD)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done

# Each fuzz target for FUZZ_SECONDS (default ten minutes), growing its corpus in
# the build folder; stops at the first failing input, which it writes here.
# Paths are absolute: the targets work in a private temporary folder.
FUZZ_SECONDS ?= 600
fuzz: deps-fuzz reconfigure build
	@[ -d $(BUILD)/tests/fuzz ] && ls $(BUILD)/tests/fuzz/*_fuzz >/dev/null 2>&1 || \
	  { echo "No fuzz targets: clang++ with libFuzzer was not found when configuring."; exit 1; }
	@for t in first_line range_split checkpoint; do \
	  echo "== $${t}_fuzz for $(FUZZ_SECONDS) s"; \
	  $(BUILD)/tests/fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(abspath .)/ $(abspath $(BUILD))/tests/fuzz/corpus-$$t $(abspath tests/fuzz/corpus/$$t) \
	    || exit 1; \
	done

cuda: deps-run $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target quilbrex_cuda quilbrex_selftest_cuda

# Static SASS instruction profile of every member for sm_75 and sm_89; needs
# nvcc but no GPU, and installs cuobjdump into $(BUILD)/sass-profile/venv.
sass-profile: deps-sass-profile
	python3 bench/sass_profile --build $(BUILD)/sass-profile --json bench/sass_figures.json

# The model of the host-fed and the device-sieved search on current GPUs, from
# the SASS figures (bench/sass_figures.json) and this machine's host sieve
# rate, measured as it runs (about a minute); needs no GPU.
model: deps-model $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target host_sieve_rate
	python3 bench/device_model --build $(BUILD)

# The dependencies between source/'s folders and files, from its includes and
# the library's calls, and any that runs back up a layer or closes a circle.
include-graph: deps-include-graph $(RUN_BUILD)/CMakeCache.txt
	cmake --build $(RUN_BUILD) -j$(JOBS) --target quilbrex_host
	python3 scripts/include-graph --objects $(RUN_BUILD)/libquilbrex_host.a

clean:
	rm -rf $(BUILD) $(BOINC_BUILD) $(RUN_BUILD)
