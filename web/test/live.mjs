// A session broadcast while it is recorded, with the real recorder and real viewers: the
// recorder (ttyrec or asciinema rec) runs a shell in a tmux pane, the program follows its
// file, and a telnet client in another tmux pane and the page in headless Chromium, both
// there before the recording starts, must show each command typed into the shell. Then a
// telnet client that joins late must show the same screen as the one that watched from
// the start, and so must the page.
//
// Usage: node live.mjs --program PATH --recorder ttyrec|asciinema
// Exit status 77 when chromium, tmux, telnet or the recorder is missing.
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const kChromium = "/usr/bin/chromium";
const kWaitMs = 20000;

const option = (name) => process.argv[process.argv.indexOf(name) + 1];
const installed = (program) => spawnSync("sh", ["-c", `command -v ${program}`]).status === 0;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, condition, timeoutMs = kWaitMs) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > end) throw new Error("timed out waiting for " + what);
    await sleep(50);
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A private tmux server; each window is an 80x24 session of its own.
class Tmux {
  constructor() {
    this.name = `ombrix-live-${process.pid}`;
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

function normalize(rows) {
  const out = rows.map((row) => row.replace(/\u00a0/g, " ").trimEnd());
  while (out.length < 24) out.push("");
  return out;
}

const pageRows = async (page) =>
  normalize(await page.$$eval(".xterm-rows > div", (divs) => divs.map((d) => d.textContent)));

// Waits until every screen shows the same rows, with the text on them; else shows them.
async function sameScreens(screens, text) {
  let seen = [];
  try {
    await until(`every screen to show "${text}" alike`, async () => {
      seen = await Promise.all(screens.map(([, read]) => read()));
      return seen[0].join("\n").includes(text) &&
             seen.every((rows) => JSON.stringify(rows) === JSON.stringify(seen[0]));
    });
  } catch (error) {
    screens.forEach(([name], i) => console.log(`${name}:\n` + (seen[i] || []).map((r) => "|" + r).join("\n")));
    throw error;
  }
}

async function main() {
  const binary = option("--program");
  const recorder = option("--recorder");
  for (const program of ["tmux", "telnet", recorder === "ttyrec" ? "ttyrec" : "asciinema"]) {
    if (!installed(program)) {
      console.log(`SKIP: ${program} is not installed`);
      return 77;
    }
  }
  if (!fs.existsSync(kChromium)) {
    console.log("SKIP: chromium is not installed");
    return 77;
  }
  const work = fs.mkdtempSync(path.join(os.tmpdir(), "ombrix-live-"));
  fs.chmodSync(work, 0o700);
  const file = path.join(work, recorder === "ttyrec" ? "session.ttyrec" : "session.cast");
  const shell = `env PS1='$ ' bash --norc --noprofile`;
  const record = recorder === "ttyrec" ? `ttyrec -e "${shell}" ${file}`
                                       : `ASCIINEMA_CONFIG_HOME=${work}/config asciinema rec --quiet -c "${shell}" ${file}`;
  const telnetPort = await freePort();
  const webPort = await freePort();
  let output = "";
  const program = spawn(binary, ["--headless", "--port", String(telnetPort), "--web-port",
                                 String(webPort), "--follow", file], {
    env: { ...process.env, XDG_RUNTIME_DIR: work, QT_QPA_PLATFORM: "offscreen" },
    stdio: ["ignore", "pipe", "inherit"],
  });
  program.stdout.on("data", (chunk) => (output += chunk));
  const waitForLine = (line) => until(`"${line}" (output:\n${output})`,
                                      () => output.split("\n").includes(line));
  const tmux = new Tmux();
  let browser = null;
  try {
    await waitForLine(`file: ${path.basename(file)} (作成待ち)`);
    tmux.open("early", `telnet 127.0.0.1 ${telnetPort}`);
    await waitForLine("connection: 127.0.0.1,1");
    browser = await chromium.launch({
      executablePath: kChromium, headless: true,
      args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync"],
    });
    const page = await browser.newPage({ viewport: { width: 1000, height: 640 } });
    await page.goto(`http://127.0.0.1:${webPort}/`);
    await waitForLine("connection: 127.0.0.1,2");

    tmux.open("recorder", `cd ${work} && ${record}`);
    await waitForLine(`file: ${path.basename(file)} (追跡中)`);
    const watching = [["recorder", () => tmux.rows("recorder")], ["early telnet", () => tmux.rows("early")],
                      ["page", () => pageRows(page)]];
    // The telnet client's own lines sit above what it receives: the session starts with
    // a clear screen, so that every screen can be compared whole.
    await until("the first prompt", () => tmux.rows("recorder").includes("$"));
    tmux.type("recorder", "clear");
    await sameScreens(watching, "$");
    for (const word of ["first", "second"]) {
      // Typed at the prompt; the shell prints the sum, which nobody typed.
      await until("the prompt", () => tmux.rows("recorder").filter((r) => r === "$").length === 1);
      tmux.type("recorder", `echo ${word} $((6 * 7))`);
      await sameScreens(watching, `${word} 42`);
    }
    tmux.open("late", `telnet 127.0.0.1 ${telnetPort}`);
    await waitForLine("connection: 127.0.0.1,3");
    await sameScreens([...watching, ["late telnet", () => tmux.rows("late")]], "second 42");
    console.log(`PASS: ${recorder}: the commands on every screen, and the late viewer's alike`);
    return 0;
  } finally {
    if (browser) await browser.close();
    tmux.stop();
    if (program.exitCode === null) program.kill("SIGTERM");
    await Promise.race([new Promise((resolve) => program.once("exit", resolve)), sleep(5000)]);
    if (program.exitCode === null) program.kill("SIGKILL");
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().then((status) => process.exit(status), (error) => {
  console.error("FAIL: " + (error && error.message ? error.message : error));
  process.exit(1);
});
