usbip_bench(relay_bench)
