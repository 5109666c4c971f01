# Thin wrapper over CMake and CTest for the two set-up commands, and the package.
BUILD ?= build
TEST_BUILD ?= build-tests
DEB_BUILD ?= build-deb
SAMPLE = captures/sample.pcap
# Root installs into the host's global folders, anyone else into their personal ones.
LAYOUT := $(shell [ "$$(id -u)" = 0 ] || echo -DNRF24_INSTALL_PERSONAL=ON)

.PHONY: setup check deb deps

# Installs the packages, builds and installs the module, decodes the sample capture.
setup: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAYOUT)
	cmake --build $(BUILD)
	cmake --install $(BUILD)
	tshark -r $(SAMPLE)

# Installs the packages, builds everything with the tests and runs them all; then the reason
# of each skip, which CTest keeps in its log only.
check: deps
	cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNRF24_BUILD_TESTS=ON
	cmake --build $(TEST_BUILD) -j2
	cd $(TEST_BUILD) && { ctest --output-on-failure; status=$$?; \
	  grep -E '^SKIPPED|: SKIPPED: ' Testing/Temporary/LastTest.log | sed 's/^/skip reason: /'; exit $$status; }

# The Debian package for this machine's Wireshark, from a copy of the tree (dpkg-buildpackage
# writes beside the source folder): $(DEB_BUILD)/wireshark-nrf24_*.deb, checked by lintian.
deb:
	NRF24_EXTRA_PACKAGES="build-essential debhelper dh-python dpkg-dev lintian $(NRF24_EXTRA_PACKAGES)" tools/install-deps
	rm -rf $(DEB_BUILD) && mkdir -p $(DEB_BUILD)/src
	find . -mindepth 1 -maxdepth 1 ! -name '.git' ! -name 'build*' ! -name 'obj-*' -exec cp -a {} $(DEB_BUILD)/src/ \;
	cd $(DEB_BUILD)/src && dpkg-buildpackage -us -uc -b
	lintian --fail-on error,warning $(DEB_BUILD)/*.changes
	@ls $(DEB_BUILD)/*.deb

deps:
	tools/install-deps
