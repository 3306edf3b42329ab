// What the browser tests share: their arguments, waiting, free ports, the program started
// headless in a runtime folder of its own, a private tmux server, headless Chromium and
// the rows a page's terminal shows. Each test keeps its own steps and checks.
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

export const kChromium = "/usr/bin/chromium";
const kWaitMs = 20000;

export function option(name) {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : undefined;
}

function installed(program) {
  return spawnSync("sh", ["-c", `command -v ${program}`]).status === 0;
}

// The first of the commands on PATH and then the files that is missing, or null.
export function missing(commands, files = [kChromium]) {
  return commands.find((command) => !installed(command)) ??
         files.find((file) => !fs.existsSync(file)) ?? null;
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function until(what, condition, timeoutMs = kWaitMs, pollMs = 50) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > end) throw new Error("timed out waiting for " + what);
    await sleep(pollMs);
  }
}

// Below the kernel's ephemeral range, so that no outgoing connection of a test running
// beside this one is given the port between this check and the program's bind; and never
// the same one twice in one run.
const handedOut = new Set();
function tryPort(port) {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.once("error", () => resolve(false));
    server.listen(port, "0.0.0.0", () => server.close(() => resolve(true)));
  });
}

export async function freePort() {
  for (let attempt = 0; attempt < 200; ++attempt) {
    const port = 20000 + Math.floor(Math.random() * 12000);
    if (handedOut.has(port)) continue;
    handedOut.add(port);
    if (await tryPort(port)) return port;
  }
  throw new Error("no free port between 20000 and 32000");
}

// A folder only this user may enter, as the program wants of XDG_RUNTIME_DIR.
export function privateFolder(prefix) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  fs.chmodSync(folder, 0o700);
  return folder;
}

// SIGTERM, five seconds' grace, then SIGKILL; `exited` must date from the spawn, since an
// exit listener added later would never hear of a child already gone.
export async function stopChild(child, exited) {
  if (child.exitCode === null) child.kill("SIGTERM");
  await Promise.race([exited, sleep(5000)]);
  if (child.exitCode === null) child.kill("SIGKILL");
}

// The program, headless, with a runtime folder of its own; its status lines are kept, only
// the last `keep` characters of them when a long run would print too many.
export class Program {
  constructor(binary, args, runtime, { keep = Infinity, pollMs = 50, stderr = "pipe" } = {}) {
    this.output = "";
    this.errors = "";
    this.pollMs = pollMs;
    this.child = spawn(binary, ["--headless", ...args], {
      env: { ...process.env, XDG_RUNTIME_DIR: runtime, QT_QPA_PLATFORM: "offscreen" },
      stdio: ["ignore", "pipe", stderr],
    });
    this.child.stdout.on("data", (chunk) => {
      this.output = this.output + chunk;
      if (this.output.length > keep) this.output = this.output.slice(-keep);
    });
    if (this.child.stderr) this.child.stderr.on("data", (chunk) => (this.errors += chunk));
    this.exited = new Promise((resolve) => this.child.once("exit", resolve));
  }
  lines() {
    return this.output.split("\n");
  }
  hasLine(line) {
    return this.lines().includes(line);
  }
  waitForLine(line, timeoutMs = kWaitMs) {
    return until(`"${line}" (output so far:\n${this.output.slice(-4096)}${this.errors})`,
                 () => this.hasLine(line), timeoutMs, this.pollMs);
  }
  stop() {
    return stopChild(this.child, this.exited);
  }
}

// Rows as a terminal shows them, without trailing blanks, padded to the 24 of the screen.
export function normalize(rows) {
  const out = rows.map((row) => row.replace(/\u00a0/g, " ").trimEnd());
  while (out.length < 24) out.push("");
  return out;
}

// The rows the page's terminal shows, without trailing blanks (and not padded).
export async function pageRows(page) {
  const rows = await page.$$eval(".xterm-rows > div", (divs) => divs.map((d) => d.textContent));
  return rows.map((row) => row.replace(/\u00a0/g, " ").trimEnd());
}

// Rows, one per line, each after a bar so that trailing text stands out.
export const showRows = (name, rows) => console.log(`${name}:\n` + rows.map((r) => "|" + r).join("\n"));

// A private tmux server; each session is an 80x24 window of its own.
export class Tmux {
  constructor(purpose) {
    this.name = `ombrix-${purpose}-${process.pid}`;
    this.pid = 0;
  }
  run(args) {
    return spawnSync("tmux", ["-u", "-L", this.name, "-f", "/dev/null", ...args],
                     { encoding: "utf8", env: { ...process.env, LANG: "C.UTF-8" } }).stdout;
  }
  open(session, command) {
    this.run(["new-session", "-d", "-s", session, "-x", "80", "-y", "24", command]);
    this.pid ||= Number(this.run(["display-message", "-p", "#{pid}"]).trim());
  }
  type(session, text) {
    this.run(["send-keys", "-t", session, "-l", text]);
    this.run(["send-keys", "-t", session, "Enter"]);
  }
  rows(session) {
    return normalize(this.run(["capture-pane", "-p", "-t", session]).split("\n").slice(0, 24));
  }
  stop() {
    this.run(["kill-server"]);
    if (this.pid > 0) {
      try { process.kill(this.pid, "SIGKILL"); } catch { /* already gone */ }
    }
  }
}

export function launchChromium() {
  return chromium.launch({
    executablePath: kChromium,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
}

// The frames of a ttyrec file: [seconds, microseconds, body].
export function readTtyrec(file) {
  const bytes = fs.readFileSync(file);
  const frames = [];
  for (let at = 0; at + 12 <= bytes.length;) {
    const length = bytes.readUInt32LE(at + 8);
    frames.push([bytes.readUInt32LE(at), bytes.readUInt32LE(at + 4),
                 bytes.subarray(at + 12, at + 12 + length)]);
    at += 12 + length;
  }
  return frames;
}

// Runs a test's main and exits with its status: 0 passed, 77 skipped, 1 failed.
export function exitWith(main) {
  main().then((status) => process.exit(status), (error) => {
    console.error("FAIL: " + (error && error.message ? error.message : error));
    process.exit(1);
  });
}
