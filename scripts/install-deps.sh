#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail
# libclang-rt-dev: libFuzzer and the sanitizer runtimes for the fuzz targets. pybind11-dev and
# python3-dev build the Python package; pytest and NumPy test it; pip, setuptools, wheel and venv
# install it from the source tree. ser2net: the serial server the network tests start in front of
# the simulator. libsqlite3-dev: the recorder's database output. dpkg-dev: dpkg-shlibdeps, which
# make deb runs for the package's dependencies. python3-pandas: docs/log.md reads a recording with
# it, and the documentation's test runs that. libmosquitto-dev: the recorder's MQTT output;
# libcurl4-openssl-dev: its InfluxDB output;
# libjs-chart.js: the plots of its live page, served from the machine. mosquitto and
# mosquitto-clients, prometheus, prometheus-alertmanager, influxdb and chromium: the real servers
# (and the browser) the tests of the published outputs and their alerts start on 127.0.0.1. python3-matplotlib: the soak's plots.
# iproute2: the network namespaces of make test-fleet.
packages=(cmake make g++ clang libclang-rt-dev pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libedit-dev
          libsqlite3-dev dpkg-dev libmosquitto-dev libcurl4-openssl-dev libjs-chart.js
          mosquitto mosquitto-clients prometheus prometheus-alertmanager influxdb chromium
          python3 python3-serial python3-matplotlib
          pybind11-dev python3-pybind11 python3-dev python3-pytest python3-numpy
          python3-pip python3-setuptools python3-wheel python3-venv python3-pandas ser2net
          iproute2)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
