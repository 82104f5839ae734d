window.probe.loads.insideScript = "ran";
