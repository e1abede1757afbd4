// The quorvel trace view: the source, the registers, the flags and the stack
// of a recorded run, stepped forwards and backwards. Fed one document (see
// quorvel_lab/view.py); defines the single global QuorvelView, once, however
// many views a page holds.
(function () {
  "use strict";
  if (window.QuorvelView) return;

  const FLAG_NAMES = ["CF", "ZF", "SF", "OF"];
  const TWO_64 = 1n << 64n;
  const TWO_63 = 1n << 63n;
  // Registers are rebuilt from per-step changes; a copy kept every so many
  // steps makes any jump of the slider cost at most that many changes.
  const CHECKPOINT_EVERY = 256;
  const STACK_SHOWN = 16;

  function el(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) {
      if (value === null || value === undefined || value === false) continue;
      if (name === "className") node.className = value;
      else node.setAttribute(name, value === true ? "" : String(value));
    }
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(child instanceof Node ? child : String(child));
    }
    return node;
  }

  // Drawn rather than typed: fonts differ in which media symbols they have.
  function icon(path) {
    const svg = document.createElementNS("http://www.w3.org/2000/svg", "svg");
    svg.setAttribute("viewBox", "0 0 16 16");
    svg.setAttribute("width", "16");
    svg.setAttribute("height", "16");
    svg.setAttribute("aria-hidden", "true");
    const shape = document.createElementNS("http://www.w3.org/2000/svg", "path");
    shape.setAttribute("d", path);
    shape.setAttribute("fill", "currentColor");
    svg.append(shape);
    return svg;
  }

  function hexText(hex) {
    return hex === null ? "unknown" : "0x" + hex.padStart(16, "0");
  }

  function decimalText(hex) {
    if (hex === null) return "?";
    let value = BigInt("0x" + hex);
    if (value >= TWO_63) value -= TWO_64;
    return value.toString();
  }

  function plural(count, word) {
    return count.toLocaleString("en-US") + " " + word + (count === 1 ? "" : "s");
  }

  // What the document says, answered for any position: position k is the
  // state after k of the page's steps (0: before the first statement ran).
  class Model {
    constructor(doc) {
      this.doc = doc;
      this.trace = doc.trace;
      this.count = this.trace ? this.trace.statement.length : 0;
      this.cut = this.trace ? this.trace.cut : null;
      this.rows = new Map();
      for (const [statement, line, offset, data, text] of doc.listing) {
        this.rows.set(statement, { statement, line, offset, data, text });
      }
      this.checkpoints = [doc.start.slice()];
    }

    row(statement) {
      return this.rows.get(statement) || null;
    }

    // The statement that runs after position k, or null at the end.
    nextStatement(k) {
      return k < this.count ? this.trace.statement[k] : null;
    }

    // The number a step had in the whole run (the page may have left out a middle part).
    stepNumber(k) {
      if (this.cut === null || k <= this.cut) return k;
      return this.trace.total - (this.count - k);
    }

    apply(registers, k) {
      if (k - 1 === this.cut) registers.fill(null);
      const changes = this.trace.changes[k - 1];
      for (let i = 0; i < changes.length; i += 2) registers[changes[i]] = changes[i + 1];
    }

    registersAt(k) {
      const index = Math.floor(k / CHECKPOINT_EVERY);
      while (this.checkpoints.length <= index) {
        const from = (this.checkpoints.length - 1) * CHECKPOINT_EVERY;
        const registers = this.checkpoints[this.checkpoints.length - 1].slice();
        for (let step = from + 1; step <= from + CHECKPOINT_EVERY; step++) this.apply(registers, step);
        this.checkpoints.push(registers);
      }
      const registers = this.checkpoints[index].slice();
      for (let step = index * CHECKPOINT_EVERY + 1; step <= k; step++) this.apply(registers, step);
      return registers;
    }

    // Registers the step into position k changed; one whose value before was unknown is not counted.
    changedAt(k, before) {
      const changed = new Set();
      if (k === 0 || k - 1 === this.cut) return changed;
      const changes = this.trace.changes[k - 1];
      for (let i = 0; i < changes.length; i += 2) {
        if (before[changes[i]] !== null) changed.add(changes[i]);
      }
      return changed;
    }

    flagsAt(k) {
      return k === 0 ? null : this.trace.flags[k - 1];
    }

    // The words pushed and not popped, top first. Every step reports the word at
    // rsp, so the word at depth d is what the last step that ended at depth d saw.
    stackAt(k) {
      const t = this.trace;
      if (!t) return null;
      const depth = k === 0 ? 0 : t.depth[k - 1];
      const shown = Math.max(0, Math.min(depth, STACK_SHOWN));
      const words = new Array(shown).fill(null);
      let missing = shown;
      const lowest = this.cut !== null && k > this.cut ? this.cut + 1 : 1;
      for (let step = k; step >= lowest && missing > 0; step--) {
        const slot = depth - t.depth[step - 1];
        if (slot >= 0 && slot < shown && words[slot] === null && t.top[step - 1] !== null) {
          words[slot] = t.top[step - 1];
          missing--;
        }
      }
      return { depth, words, hidden: Math.max(0, depth - shown) };
    }

    outcome() {
      const t = this.trace;
      if (this.doc.error) return "does not assemble: " + this.doc.error.message;
      if (!t) return "not run";
      const steps = plural(t.total, "step");
      if (t.rax !== null) return `${t.stopped} after ${steps}: rax = ${t.rax}`;
      if (t.stopped === "max_steps") return `stopped at the step limit, after ${steps}`;
      return `stopped after ${steps}: ${t.stopped}`;
    }
  }

  class View {
    constructor(root, doc) {
      this.root = root;
      this.model = new Model(doc);
      this.position = 0;
      this.breakpoints = new Set();
      this.cursorLine = 1;
      this.build();
      this.go(0);
    }

    build() {
      const { doc } = this.model;
      const root = this.root;
      root.textContent = "";
      root.classList.add("qv-mounted");
      root.setAttribute("role", "region");
      root.setAttribute("aria-label", doc.title || "quorvel trace");
      root.tabIndex = 0;
      // JupyterLab leaves keys inside such an element to it.
      root.setAttribute("data-lm-suppress-shortcuts", "true");

      const head = el("div", { className: "qv-head" });
      if (doc.title) head.append(el("strong", { className: "qv-title" }, doc.title));
      this.outcome = el("span", { className: "qv-outcome" }, this.model.outcome());
      head.append(this.outcome);
      root.append(head);

      if (doc.error) {
        root.append(el("p", { className: "qv-message qv-error-text", role: "alert" },
          "The program does not assemble: " + doc.error.message,
          ...doc.error.notes.map((note) => el("span", { className: "qv-note" }, note))));
      }
      const t = this.model.trace;
      if (t && t.cut !== null) {
        const last = this.model.count - t.cut;
        root.append(el("p", { className: "qv-message qv-notice", role: "note" },
          `This run has ${plural(t.total, "step")}; the page holds the first ${t.cut.toLocaleString("en-US")} ` +
          `and the last ${last.toLocaleString("en-US")}. Steps ${(t.cut + 1).toLocaleString("en-US")} to ` +
          `${(t.total - last).toLocaleString("en-US")} are left out.`));
      }

      if (t) root.append(this.buildControls());
      const body = el("div", { className: "qv-body" });
      body.append(this.buildSource(), this.buildState());
      root.append(body);
      root.append(el("p", { className: "qv-help" },
        "Keys: \u2190 \u2192 step back and forward \u00b7 Space, Shift+Space run to the next or previous " +
        "breakpoint \u00b7 Home, End first and last step \u00b7 B sets a breakpoint (in the source: " +
        "\u2191 \u2193 choose the line)."));
      root.addEventListener("keydown", (event) => this.onKey(event));
    }

    buildControls() {
      const bar = el("div", { className: "qv-controls", role: "toolbar", "aria-label": "stepping" });
      const button = (action, shape, label) => {
        const b = el("button", { type: "button", "data-action": action, title: label, "aria-label": label }, icon(shape));
        b.addEventListener("click", () => this.act(action));
        return b;
      };
      bar.append(
        button("back-break", "M3 2h2v12H3zM13 2v12L6 8z", "run back to the previous breakpoint (Shift+Space)"),
        button("back", "M12 2v12L4 8z", "step back (\u2190)"),
        button("forward", "M4 2v12l8-6z", "step forward (\u2192)"),
        button("forward-break", "M3 2v12l7-6zM11 2h2v12h-2z", "run to the next breakpoint (Space)"),
      );
      this.slider = el("input", {
        type: "range", min: 0, max: this.model.count, value: 0, step: 1, className: "qv-slider",
        "aria-label": "position in the run",
      });
      this.slider.addEventListener("input", () => this.go(Number(this.slider.value)));
      this.status = el("output", { className: "qv-position", "aria-live": "polite" });
      bar.append(this.slider, this.status);
      return bar;
    }

    buildSource() {
      const { doc } = this.model;
      const lines = doc.source.split(/\r\n|\n|\r/);
      const byLine = new Map();
      for (const row of this.model.rows.values()) {
        if (!byLine.has(row.line)) byLine.set(row.line, []);
        byLine.get(row.line).push(row);
      }
      const diagnostics = new Map();
      for (const [statement, line, severity, message] of doc.diagnostics) {
        if (!diagnostics.has(line)) diagnostics.set(line, []);
        diagnostics.get(line).push({ statement, severity, message });
      }
      this.lineRows = [null];
      const table = el("table", { className: "qv-code" });
      const body = el("tbody");
      lines.forEach((text, index) => {
        const number = index + 1;
        const marker = el("button", {
          type: "button", tabindex: -1, className: "qv-bp",
          "aria-label": "breakpoint on line " + number, "aria-pressed": "false",
        });
        marker.addEventListener("click", () => this.toggleBreakpoint(number));
        const listing = (byLine.get(number) || []).map((row) =>
          el("span", { className: "qv-bytes-row" },
            el("span", { className: "qv-offset" }, "0x" + row.offset.toString(16)),
            row.data ? " " + row.data : ""));
        const tr = el("tr", { className: "qv-line", "data-line": number },
          el("td", { className: "qv-gutter" }, marker),
          el("td", { className: "qv-num" }, number),
          el("td", { className: "qv-text" }, el("code", null, text || "\u200b")),
          el("td", { className: "qv-bytes" }, ...listing));
        const found = diagnostics.get(number) || [];
        if (found.length) tr.classList.add("qv-has-" + (found.some((d) => d.severity === "error") ? "error" : "warning"));
        body.append(tr);
        this.lineRows.push(tr);
        for (const d of found) {
          body.append(el("tr", { className: "qv-diagnostic qv-" + d.severity, "data-line": number },
            el("td", { colspan: 2 }),
            el("td", { colspan: 2 },
              el("span", { className: "qv-severity" }, d.severity + ":"), " " + d.message,
              el("span", { className: "qv-statement" }, " (statement " + d.statement + ")"))));
        }
      });
      table.append(body);
      this.sourcePane = el("div", {
        className: "qv-source", tabindex: 0, role: "group",
        "aria-label": "source; arrow up and down choose a line, B or Enter sets a breakpoint",
      }, table);
      return this.sourcePane;
    }

    buildState() {
      const state = el("div", { className: "qv-state" });
      const table = el("table", { className: "qv-registers" },
        el("caption", null, "registers"),
        el("thead", null, el("tr", null,
          el("th", { scope: "col" }, "name"), el("th", { scope: "col" }, "hex"), el("th", { scope: "col" }, "decimal"))));
      const body = el("tbody");
      this.registerRows = this.model.doc.registers.map((name) => {
        const tr = el("tr", { "data-register": name },
          el("th", { scope: "row" }, name), el("td", { className: "qv-hex" }), el("td", { className: "qv-decimal" }));
        body.append(tr);
        return tr;
      });
      table.append(body);
      this.flagCells = FLAG_NAMES.map((name) => el("span", { className: "qv-flag", "data-flag": name }));
      this.stackList = el("ol", { className: "qv-stack-words" });
      this.stackNote = el("p", { className: "qv-stack-note" });
      this.end = el("div", { className: "qv-end" });
      state.append(
        table,
        el("div", { className: "qv-flags", role: "group", "aria-label": "flags" }, ...this.flagCells),
        el("section", { className: "qv-stack", "aria-label": "stack" },
          el("h4", null, "stack ", el("span", { className: "qv-hint" }, "(top first)")), this.stackList, this.stackNote),
        this.end,
      );
      this.renderEnd();
      return state;
    }

    renderEnd() {
      const t = this.model.trace;
      this.end.textContent = "";
      if (!t) return;
      const parts = [el("h4", null, "end of the run")];
      if (t.rax !== null) parts.push(el("p", { className: "qv-rax" }, "rax = " + t.rax));
      parts.push(el("p", { className: t.rax === null ? "qv-stopped qv-error-text" : "qv-stopped" },
        t.rax === null ? t.stopped : "completed"));
      if (t.note) parts.push(el("p", { className: "qv-note" }, t.note));
      if (t.stopStatement !== null) {
        const row = this.model.row(t.stopStatement);
        parts.push(el("p", null, `at statement ${t.stopStatement}` + (row ? ` (line ${row.line}): ${row.text}` : "")));
      }
      this.end.append(...parts);
    }

    act(action) {
      const k = this.position;
      if (action === "forward") this.go(k + 1);
      else if (action === "back") this.go(k - 1);
      else if (action === "forward-break") this.go(this.findBreakpoint(k, +1));
      else if (action === "back-break") this.go(this.findBreakpoint(k, -1));
      else if (action === "first") this.go(0);
      else if (action === "last") this.go(this.model.count);
    }

    // The nearest position, in either direction, where a statement on a breakpoint's line is about to run.
    findBreakpoint(from, direction) {
      const model = this.model;
      const end = direction > 0 ? model.count : 0;
      if (this.breakpoints.size === 0) return end;
      for (let k = from + direction; direction > 0 ? k < model.count : k >= 0; k += direction) {
        const row = model.row(model.nextStatement(k));
        if (row && this.breakpoints.has(row.line)) return k;
      }
      return end;
    }

    toggleBreakpoint(line) {
      if (line < 1 || line >= this.lineRows.length) return;
      const on = !this.breakpoints.has(line);
      if (on) this.breakpoints.add(line);
      else this.breakpoints.delete(line);
      const tr = this.lineRows[line];
      tr.classList.toggle("qv-breakpoint", on);
      tr.querySelector(".qv-bp").setAttribute("aria-pressed", String(on));
    }

    moveCursor(line) {
      if (this.lineRows.length < 2) return;
      const clamped = Math.min(Math.max(line, 1), this.lineRows.length - 1);
      this.lineRows[this.cursorLine].classList.remove("qv-cursor");
      this.cursorLine = clamped;
      this.lineRows[clamped].classList.add("qv-cursor");
      this.reveal(this.lineRows[clamped]);
    }

    onKey(event) {
      if (event.altKey || event.ctrlKey || event.metaKey) return;
      const target = event.target;
      const inSource = this.sourcePane.contains(target);
      // Buttons and the slider keep their own keys.
      if (target.tagName === "BUTTON" && (event.key === " " || event.key === "Enter")) return;
      if (target === this.slider && event.key !== " ") return;
      let handled = true;
      if (inSource && event.key === "ArrowDown") this.moveCursor(this.cursorLine + 1);
      else if (inSource && event.key === "ArrowUp") this.moveCursor(this.cursorLine - 1);
      else if (inSource && (event.key === "Enter" || event.key === "b" || event.key === "B")) {
        this.toggleBreakpoint(this.cursorLine);
      } else if (event.key === "b" || event.key === "B") {
        const row = this.model.row(this.model.nextStatement(this.position));
        if (row) this.toggleBreakpoint(row.line);
      } else if (!this.model.trace) handled = false;
      else if (event.key === "ArrowRight") this.act("forward");
      else if (event.key === "ArrowLeft") this.act("back");
      else if (event.key === " ") this.act(event.shiftKey ? "back-break" : "forward-break");
      else if (event.key === "Home") this.act("first");
      else if (event.key === "End") this.act("last");
      else handled = false;
      if (handled) {
        event.preventDefault();
        event.stopPropagation();
      }
    }

    go(position) {
      const model = this.model;
      const k = Math.min(Math.max(position, 0), model.count);
      this.position = k;
      const before = k > 0 ? model.registersAt(k - 1) : model.doc.start;
      const registers = k > 0 ? model.registersAt(k) : model.doc.start;
      const changed = model.trace ? model.changedAt(k, before) : new Set();
      this.registerRows.forEach((tr, index) => {
        tr.children[1].textContent = hexText(registers[index]);
        tr.children[2].textContent = decimalText(registers[index]);
        tr.classList.toggle("qv-changed", changed.has(index));
        tr.title = changed.has(index) ? "changed by the last step" : "";
      });
      const flags = model.trace ? model.flagsAt(k) : null;
      this.flagCells.forEach((cell, index) => {
        const set = flags !== null && (flags & (1 << index)) !== 0;
        cell.textContent = FLAG_NAMES[index] + " " + (flags === null ? "?" : set ? "1" : "0");
        cell.classList.toggle("qv-set", set);
      });
      this.renderStack(model.trace ? model.stackAt(k) : null);
      this.renderLines(k);
      if (!model.trace) return;
      this.slider.value = String(k);
      const next = model.row(model.nextStatement(k));
      let text = k === 0 ? "before the first step" : `after step ${model.stepNumber(k).toLocaleString("en-US")}`;
      text += ` of ${model.trace.total.toLocaleString("en-US")}`;
      if (next) text += ` \u00b7 next: line ${next.line}, ${next.text.split(";")[0].trim()}`;
      else text += " \u00b7 " + model.outcome();
      if (model.cut !== null && k === model.cut + 1) text += " \u00b7 (the steps before were left out)";
      this.status.textContent = text;
    }

    renderStack(stack) {
      this.stackList.textContent = "";
      if (stack === null) {
        this.stackNote.textContent = "";
        return;
      }
      stack.words.forEach((word, index) => {
        this.stackList.append(el("li", { className: index === 0 ? "qv-top" : null },
          el("span", { className: "qv-hex" }, word === null ? "?" : hexText(word)),
          el("span", { className: "qv-decimal" }, word === null ? "" : decimalText(word))));
      });
      if (stack.depth < 0) {
        this.stackNote.textContent = `empty: the program popped ${plural(-stack.depth, "word")} more than it pushed`;
      } else if (stack.depth === 0) {
        this.stackNote.textContent = "empty";
      } else {
        this.stackNote.textContent = plural(stack.depth, "word") + (stack.hidden ? `, ${stack.hidden} more below` : "");
      }
    }

    renderLines(k) {
      const model = this.model;
      for (const tr of this.root.querySelectorAll(".qv-next, .qv-ran, .qv-fault")) {
        tr.classList.remove("qv-next", "qv-ran", "qv-fault");
        tr.removeAttribute("aria-current");
      }
      if (!model.trace) return;
      const mark = (statement, name) => {
        const row = model.row(statement);
        const tr = row && this.lineRows[row.line];
        if (tr) tr.classList.add(name);
        return tr;
      };
      if (k > 0) mark(model.trace.statement[k - 1], "qv-ran");
      let current = mark(model.nextStatement(k), "qv-next");
      if (k === model.count && model.trace.stopStatement !== null) {
        current = mark(model.trace.stopStatement, "qv-fault");
      }
      if (current) {
        current.setAttribute("aria-current", "step");
        this.reveal(current);
      }
    }

    // Scrolls the source pane only: the page around a notebook view must not jump.
    reveal(tr) {
      const pane = this.sourcePane;
      const top = tr.offsetTop;
      const bottom = top + tr.offsetHeight;
      if (top < pane.scrollTop) pane.scrollTop = top - pane.clientHeight / 3;
      else if (bottom > pane.scrollTop + pane.clientHeight) pane.scrollTop = bottom - (2 * pane.clientHeight) / 3;
    }
  }

  window.QuorvelView = {
    mount(root, doc) {
      const view = new View(root, doc);
      root.quorvelView = view;
      return view;
    },
    mountFromScript(id) {
      const root = document.getElementById(id);
      const data = document.getElementById(id + "-data");
      if (!root || !data || root.quorvelView) return null;
      return this.mount(root, JSON.parse(data.textContent));
    },
  };
})();
