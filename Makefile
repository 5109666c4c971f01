# Thin wrapper over CMake and CTest for the two set-up commands.
BUILD ?= build
TEST_BUILD ?= build-tests
SAMPLE = captures/sample.pcap

.PHONY: setup check deps

# Installs the packages, builds and installs the module, decodes the sample capture.
setup: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)
	cmake --install $(BUILD)
	tshark -r $(SAMPLE)

# Installs the packages, builds everything with the tests and runs them all.
check: deps
	cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNRF24_BUILD_TESTS=ON
	cmake --build $(TEST_BUILD) -j2
	cd $(TEST_BUILD) && ctest --output-on-failure

deps:
	tools/install-deps
