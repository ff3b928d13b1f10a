# Thin front end over CMake. `make run` builds and runs the host build in run/
# (seeded with an example assignment); `make test` builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The CUDA build of this tree carries one architecture so that `make test`
# stays quick; CUDA_ARCHS=all (in a fresh BUILD) gives the release set.
CUDA_ARCHS ?= 75

.PHONY: all build deps test run bench cuda sass-profile clean

all: build

deps:
	@sh scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release "-DQUILBREX_CUDA_ARCHS=$(CUDA_ARCHS)"

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The program ends with status 6 when every assignment is done and 1 when
# there was none; both are normal ends of a run, so make reports the status
# instead of failing on it.
run: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target quilbrex
	@mkdir -p run
	@[ -f run/worktodo.txt ] || cp examples/worktodo.txt run/worktodo.txt
	@cd run && ../$(BUILD)/quilbrex; status=$$?; \
	  echo; echo "quilbrex ended with exit status $$status (6: all work done, 1: no assignment or a refusal, 255: runtime error)"; \
	  [ $$status -eq 6 ] || [ $$status -eq 1 ]

bench: build
	@for b in $(BUILD)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done

cuda: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target quilbrex_cuda

# Static SASS instruction profile of every member for sm_75 and sm_89; needs
# nvcc but no GPU, and installs cuobjdump into $(BUILD)/sass-profile/venv.
sass-profile:
	python3 bench/sass_profile --build $(BUILD)/sass-profile

clean:
	rm -rf $(BUILD)
