// Records what the program sends and what the page could load, for the
// desktop tests to read back through script evaluation.
"use strict";
window.probe = { events: [], loads: {}, posted: false, postError: "" };
window.vornSetup = {
  receive(event) {
    window.probe.events.push(event);
  },
};
// The channel must exist before the first script runs; this post shows it.
try {
  window.webkit.messageHandlers.setup.postMessage("copyExtensions");
  window.probe.posted = true;
} catch (error) {
  window.probe.postError = String(error);
}

window.probe.tryLoad = function (kind, name, url) {
  window.probe.loads[name] = "pending";
  const element = document.createElement(kind === "script" ? "script" : "img");
  element.onload = () => {
    window.probe.loads[name] = window.probe.loads[name] === "ran" ? "ran" : "loaded";
  };
  element.onerror = () => {
    window.probe.loads[name] = "refused";
  };
  element.src = url;
  document.head.appendChild(element);
};

document.addEventListener("DOMContentLoaded", () => {
  document.getElementById("opener").addEventListener("click", () => {
    window.probe.opened = window.open("other.html") !== null;
  });
});
