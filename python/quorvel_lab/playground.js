// The playground's editor: checks the program as it is typed, runs it, traces
// it into the view, and puts program and registers into a share link's
// fragment (the server keeps nothing). Talks to its own origin only.
(function () {
  "use strict";
  const REGISTERS = ["rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r12", "r13", "r14", "r15"];
  const CHECK_DELAY_MS = 250;
  const TWO_64 = 1n << 64n;
  const token = document.querySelector('meta[name="quorvel-token"]').content;
  const $ = (selector) => document.querySelector(selector);
  const source = $("#pg-source");
  const gutter = $(".pg-gutter");
  const diagnosticsList = $(".pg-diagnostics");
  const result = $(".pg-result");
  const viewPane = $(".pg-view");
  const maxSteps = $("#pg-max-steps");
  const inputs = new Map();

  // The token stays out of the address bar, the history and share links; a cookie carries reloads.
  if (new URLSearchParams(location.search).has("token")) {
    history.replaceState(null, "", location.pathname + location.hash);
  }

  function el(tag, className, ...children) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    node.append(...children.filter((child) => child !== null && child !== undefined));
    return node;
  }

  // 64-bit values arrive as JSON numbers; read the ones past 2**53 from their digits.
  function parseJson(text) {
    return JSON.parse(text, (key, value, context) =>
      typeof value === "number" && !Number.isSafeInteger(value) && context && /^-?\d+$/.test(context.source)
        ? BigInt(context.source) : value);
  }

  function parseValue(text) {
    const match = /^\s*(-?)(?:0[xX]([0-9a-fA-F]+)|([0-9]+))\s*$/.exec(text);
    if (!match) return null;
    let value = match[2] !== undefined ? BigInt("0x" + match[2]) : BigInt(match[3]);
    if (match[1]) value = -value;
    if (value < -(TWO_64 >> 1n) || value >= TWO_64) return null;
    return value;
  }

  for (const name of REGISTERS) {
    const input = el("input");
    input.id = "pg-reg-" + name;
    input.placeholder = "0";
    input.spellcheck = false;
    input.dataset.register = name;
    input.addEventListener("input", () => input.removeAttribute("aria-invalid"));
    const label = el("label", null, name);
    label.htmlFor = input.id;
    $(".pg-registers").append(label, input);
    inputs.set(name, input);
  }

  function registerValues() {
    const values = [];
    let valid = true;
    for (const [name, input] of inputs) {
      if (input.value.trim() === "") continue;
      const value = parseValue(input.value);
      if (value === null) {
        input.setAttribute("aria-invalid", "true");
        valid = false;
      } else values.push([name, value]);
    }
    return valid ? values : null;
  }

  // JSON.stringify has no 64-bit integers, so the body is written out.
  function body(withRegisters) {
    const registers = withRegisters || [];
    const steps = Math.min(Math.max(parseInt(maxSteps.value, 10) || 0, 0), 200000);
    return `{"source":${JSON.stringify(source.value)},"registers":{` +
      registers.map(([name, value]) => `${JSON.stringify(name)}:${value}`).join(",") +
      `},"max_steps":${steps}}`;
  }

  async function call(command, text) {
    const response = await fetch("/api/" + command, {
      method: "POST",
      headers: { "Authorization": "Bearer " + token, "Content-Type": "application/json" },
      body: text,
    });
    const answer = parseJson(await response.text());
    return { status: response.status, answer };
  }

  function renderGutter(diagnostics) {
    const count = source.value.split("\n").length;
    const byLine = new Map();
    for (const d of diagnostics) {
      if (byLine.get(d.line) !== "error") byLine.set(d.line, d.severity);
    }
    gutter.textContent = "";
    for (let line = 1; line <= count; line++) {
      const number = el("div", byLine.has(line) ? "pg-" + byLine.get(line) : null, String(line));
      number.dataset.line = line;
      gutter.append(number);
    }
    gutter.scrollTop = source.scrollTop;
  }

  let lastDiagnostics = [];
  let checkTimer = null;
  let checkSerial = 0;

  async function check() {
    const serial = ++checkSerial;
    let reply;
    try {
      reply = await call("check", body());
    } catch (failure) {
      reply = { status: 0, answer: { error: "the server did not answer (" + failure.message + ")" } };
    }
    if (serial !== checkSerial) return;
    diagnosticsList.textContent = "";
    if (reply.status !== 200) {
      diagnosticsList.append(el("li", "pg-error", reply.answer.error));
      return;
    }
    lastDiagnostics = reply.answer;
    renderGutter(lastDiagnostics);
    if (lastDiagnostics.length === 0) diagnosticsList.append(el("li", "pg-ok", "no errors, no warnings"));
    for (const d of lastDiagnostics) {
      const item = el("li", "pg-" + d.severity, `line ${d.line}: ${d.severity}: ${d.message}`);
      item.dataset.line = d.line;
      diagnosticsList.append(item);
    }
  }

  function scheduleCheck() {
    renderGutter(lastDiagnostics.filter((d) => d.line <= source.value.split("\n").length));
    clearTimeout(checkTimer);
    checkTimer = setTimeout(check, CHECK_DELAY_MS);
  }

  function showError(reply) {
    const notes = reply.answer.notes || [];
    result.textContent = "";
    result.append(el("p", "pg-error", (reply.status === 422 ? "does not assemble: " : "") + reply.answer.error,
      ...notes.map((note) => el("span", null, el("br"), note))));
  }

  function hex(value) {
    return "0x" + BigInt.asUintN(64, BigInt(value)).toString(16).padStart(16, "0");
  }

  function showRun(answer) {
    result.textContent = "";
    if (answer.rax !== null) result.append(el("p", "pg-rax", "rax = " + answer.rax));
    result.append(el("p", answer.rax === null ? "pg-error" : null, answer.stopped));
    if (answer.note) result.append(el("p", null, answer.note));
    if (answer.registers) {
      const table = el("table", "pg-final-registers");
      for (const [name, value] of Object.entries(answer.registers)) {
        table.append(el("tr", null, el("th", null, name), el("td", null, hex(value)),
          el("td", null, BigInt.asIntN(64, BigInt(value)).toString())));
      }
      result.append(table);
    }
    if (answer.flags) {
      result.append(el("p", null, Object.entries(answer.flags).map(([name, set]) => `${name} ${set ? 1 : 0}`).join("  ")));
    }
    if (answer.stack) {
      result.append(el("p", null, "stack (top first): " + (answer.stack.length ? answer.stack.map(hex).join(" ") : "empty")));
    }
  }

  async function act(command) {
    const registers = registerValues();
    if (registers === null) {
      result.textContent = "";
      result.append(el("p", "pg-error", "a register value is not a number: write decimal or 0x hex, up to 64 bits"));
      return;
    }
    result.textContent = command === "run" ? "running\u2026" : "tracing\u2026";
    let reply;
    try {
      reply = await call(command, body(registers));
    } catch (failure) {
      reply = { status: 0, answer: { error: "the server did not answer (" + failure.message + ")" } };
    }
    if (reply.status !== 200) {
      showError(reply);
      return;
    }
    if (command === "run") {
      showRun(reply.answer);
      return;
    }
    result.textContent = "";
    viewPane.textContent = "";
    const root = el("div", "quorvel-view");
    viewPane.append(root);
    QuorvelView.mount(root, reply.answer);
    root.focus();
  }

  function share() {
    const params = new URLSearchParams();
    params.set("program", source.value);
    for (const [name, input] of inputs) {
      if (input.value.trim() !== "") params.set(name, input.value.trim());
    }
    const link = location.origin + location.pathname + "#" + params.toString();
    history.replaceState(null, "", "#" + params.toString());
    const box = $(".pg-share-box");
    box.hidden = false;
    const field = $("#pg-share-link");
    field.value = link;
    field.focus();
    field.select();
  }

  function loadFragment() {
    const params = new URLSearchParams(location.hash.slice(1));
    if (!params.has("program")) return;
    source.value = params.get("program");
    for (const [name, input] of inputs) input.value = params.get(name) || "";
    scheduleCheck();
  }

  source.addEventListener("input", scheduleCheck);
  source.addEventListener("scroll", () => { gutter.scrollTop = source.scrollTop; });
  source.addEventListener("keydown", (event) => {
    if (event.key === "Enter" && (event.ctrlKey || event.metaKey)) {
      event.preventDefault();
      act(event.shiftKey ? "view" : "run");
    }
  });
  $("#pg-run").addEventListener("click", () => act("run"));
  $("#pg-trace").addEventListener("click", () => act("view"));
  $("#pg-share").addEventListener("click", share);
  window.addEventListener("hashchange", loadFragment);
  loadFragment();
  renderGutter([]);
  check();
})();
