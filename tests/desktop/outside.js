window.probe.loads.outsideScript = "ran";
