// A session broadcast while it is recorded, with the real recorder and real viewers: the
// recorder (ttyrec or asciinema rec) runs a shell in a tmux pane, the program follows its
// file, and a telnet client in another tmux pane and the page in headless Chromium, both
// there before the recording starts, must show each command typed into the shell. Then a
// telnet client that joins late must show the same screen as the one that watched from
// the start, and so must the page.
//
// Usage: node live.mjs --program PATH --recorder ttyrec|asciinema
// Exit status 77 when chromium, tmux, telnet or the recorder is missing.
import fs from "node:fs";
import path from "node:path";
import { exitWith, freePort, launchChromium, missing, normalize, option, pageRows, Program,
         privateFolder, showRows, Tmux, until } from "./harness.mjs";

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
    screens.forEach(([name], i) => showRows(name, seen[i] || []));
    throw error;
  }
}

async function main() {
  const binary = option("--program");
  const recorder = option("--recorder");
  const absent = missing(["tmux", "telnet", recorder === "ttyrec" ? "ttyrec" : "asciinema"]);
  if (absent) {
    console.log(`SKIP: ${absent} is not installed`);
    return 77;
  }
  const work = privateFolder("ombrix-live-");
  const file = path.join(work, recorder === "ttyrec" ? "session.ttyrec" : "session.cast");
  const shell = `env PS1='$ ' bash --norc --noprofile`;
  const record = recorder === "ttyrec" ? `ttyrec -e "${shell}" ${file}`
                                       : `ASCIINEMA_CONFIG_HOME=${work}/config asciinema rec --quiet -c "${shell}" ${file}`;
  const telnetPort = await freePort();
  const webPort = await freePort();
  const program = new Program(binary, ["--port", String(telnetPort), "--web-port", String(webPort),
                                       "--follow", file], work, { stderr: "inherit" });
  const tmux = new Tmux("live");
  let browser = null;
  try {
    await program.waitForLine(`file: ${path.basename(file)} (作成待ち)`);
    tmux.open("early", `telnet 127.0.0.1 ${telnetPort}`);
    await program.waitForLine("connection: 127.0.0.1,1");
    browser = await launchChromium();
    const page = await browser.newPage({ viewport: { width: 1000, height: 640 } });
    await page.goto(`http://127.0.0.1:${webPort}/`);
    await program.waitForLine("connection: 127.0.0.1,2");

    tmux.open("recorder", `cd ${work} && ${record}`);
    await program.waitForLine(`file: ${path.basename(file)} (追跡中)`);
    const watching = [["recorder", () => tmux.rows("recorder")], ["early telnet", () => tmux.rows("early")],
                      ["page", async () => normalize(await pageRows(page))]];
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
    await program.waitForLine("connection: 127.0.0.1,3");
    await sameScreens([...watching, ["late telnet", () => tmux.rows("late")]], "second 42");
    console.log(`PASS: ${recorder}: the commands on every screen, and the late viewer's alike`);
    return 0;
  } finally {
    if (browser) await browser.close();
    tmux.stop();
    await program.stop();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

exitWith(main);
