import { ArrowDown, ArrowUp, ClipboardPaste, Copy, LayoutTemplate, Library, Plus, Scissors, Trash2 } from "lucide-react";
import { useState } from "react";
import type { TreeRef } from "../api/edit";
import type { Role, Visibility } from "../api/types";
import { hasRole } from "../auth/roles";
import { ConfirmDialog } from "../components/ConfirmDialog";
import { ErrorNotice } from "../components/ErrorNotice";
import { AddChildDialog } from "./AddChildDialog";
import { AddFromRepositoryDialog } from "./AddFromRepositoryDialog";
import { useClipboard } from "./clipboard";
import type { NodeDraft } from "./drafts";
import { InsertTemplateDialog } from "./InsertTemplateDialog";
import { parseList } from "./lists";
import { NodeForm } from "./NodeForm";
import { NodeIcon } from "./NodeIcon";
import { pasteProblem } from "./paste";
import { allowedChildTypes, nodeLabel, TYPE_NAMES, type NodePlace, type TreeModel } from "./treeModel";
import type { TreeActions } from "./useTreeActions";
import { VisibilitiesToAddDialog } from "./VisibilitiesToAddDialog";
import { allowedBelow } from "./visibilities";

interface Props {
  tree: TreeRef;
  place: NodePlace;
  model: TreeModel;
  topType: number | null;
  editable: boolean;
  role: Role | undefined;
  catalog: Visibility[];
  allowed: string[];
  draft: NodeDraft | undefined;
  onDraft(draft: NodeDraft | null): void;
  onSaved(): void;
  onDeleted(nodeId: number): void;
  onShowNode(nodeId: number): void;
  actions: TreeActions;
}

type Open =
  | { kind: "add" }
  | { kind: "repository" }
  | { kind: "delete" }
  | { kind: "template" }
  | { kind: "paste"; candidates: string[] }
  | null;

/** The selected node: what can be done with it, and its details. */
export function NodePanel(props: Props) {
  const { tree, place, model, topType, editable, role, catalog, allowed, actions } = props;
  const node = place.node;
  const label = nodeLabel(node);
  const clipboard = useClipboard();
  const [open, setOpen] = useState<Open>(null);
  const [error, setError] = useState<unknown>(null);
  const [busy, setBusy] = useState(false);
  const childTypes = allowedChildTypes(node.type, tree.treeType, topType);
  const isRoot = place.parentId === null;
  const entry = clipboard.entry;
  const problem = entry ? pasteProblem(entry, tree, node, childTypes, model.places) : null;

  async function step(fn: () => Promise<unknown>) {
    setBusy(true);
    setError(null);
    try {
      await fn();
    } catch (e) {
      setError(e);
    } finally {
      setBusy(false);
    }
  }

  async function startPaste() {
    if (!entry) return;
    await step(async () => {
      const list = parseList(
        await actions.visibilitiesToAdd({ treeType: entry.treeType, id: entry.id, nodeId: entry.nodeId }, node.id),
      );
      if (list.length > 0) setOpen({ kind: "paste", candidates: list });
      else await finishPaste(";");
    });
  }

  async function finishPaste(toAdd: string) {
    if (!entry) return;
    try {
      await actions.paste(entry, node.id, toAdd);
    } finally {
      // A cut node is pasted once; a copied one can be pasted again.
      if (entry.mode === "cut") clipboard.setEntry(null);
    }
  }

  const below = place.subtreeSize - 1;
  const parent = place.parentId !== null ? model.places.get(place.parentId)?.node : undefined;
  const allowedHere = allowedBelow(parent, allowed);
  const allowedForChildren = allowedBelow(node, allowed);
  return (
    <section className="node-panel" aria-labelledby="node-title">
      <h2 id="node-title" className="row">
        <NodeIcon type={node.type} size={18} />
        <span>
          {TYPE_NAMES[node.type]}: {label}
        </span>
      </h2>
      {editable ? (
        <div className="toolbar" role="toolbar" aria-label="Node">
          <button type="button" onClick={() => setOpen({ kind: "add" })}>
            <Plus aria-hidden="true" size={16} /> Add child
          </button>
          <button type="button" onClick={() => setOpen({ kind: "repository" })}>
            <Library aria-hidden="true" size={16} /> Add from repository
          </button>
          <button type="button" onClick={() => setOpen({ kind: "template" })}>
            <LayoutTemplate aria-hidden="true" size={16} /> Insert template
          </button>
          <button type="button" disabled={isRoot || place.index === 0 || busy} onClick={() => void step(() => actions.move(node.id, "up"))}>
            <ArrowUp aria-hidden="true" size={16} /> Move up
          </button>
          <button
            type="button"
            disabled={isRoot || place.index >= place.siblingCount - 1 || busy}
            onClick={() => void step(() => actions.move(node.id, "down"))}
          >
            <ArrowDown aria-hidden="true" size={16} /> Move down
          </button>
          <button
            type="button"
            disabled={isRoot}
            onClick={() =>
              clipboard.setEntry({ mode: "cut", ...tree, nodeId: node.id, type: node.type, label, size: place.subtreeSize })
            }
          >
            <Scissors aria-hidden="true" size={16} /> Cut
          </button>
          <button
            type="button"
            disabled={isRoot}
            onClick={() =>
              clipboard.setEntry({ mode: "copy", ...tree, nodeId: node.id, type: node.type, label, size: place.subtreeSize })
            }
          >
            <Copy aria-hidden="true" size={16} /> Copy
          </button>
          <button type="button" disabled={!entry || !!problem || busy} onClick={() => void startPaste()}>
            <ClipboardPaste aria-hidden="true" size={16} /> Paste
          </button>
          <button type="button" className="danger" disabled={isRoot} onClick={() => setOpen({ kind: "delete" })}>
            <Trash2 aria-hidden="true" size={16} /> Delete
          </button>
        </div>
      ) : null}
      {entry ? (
        <p className="hint" role="status">
          {entry.mode === "cut" ? "Cut" : "Copied"}: “{entry.label}” ({entry.size} {entry.size === 1 ? "node" : "nodes"}).
          {editable ? (problem ? ` ${problem}` : " Choose Paste to put it below this node.") : null}{" "}
          <button type="button" onClick={() => clipboard.setEntry(null)}>
            Clear clipboard
          </button>
        </p>
      ) : null}
      <ErrorNotice error={error ?? actions.moveError} />
      {isRoot ? (
        <p>
          {node.children.length === 0
            ? editable
              ? `This tree is empty. Choose “Add child” to add the first ${childTypes.length === 1 ? TYPE_NAMES[childTypes[0]!].toLowerCase() : "node"}, or “Insert template”.`
              : hasRole(role, "author")
                ? "This tree is empty. Choose “Check out” above, then “Add child” to add the first node."
                : "This tree is empty."
            : `The top of the tree. It holds ${node.children.length} ${node.children.length === 1 ? "node" : "nodes"} directly and ${place.subtreeSize - 1} in all.`}
        </p>
      ) : (
        <NodeForm
          node={node}
          draft={props.draft}
          onDraft={props.onDraft}
          onSave={async (d) => {
            await actions.save(node.id, node.repId, node.type, d);
            props.onSaved();
          }}
          editable={editable}
          canSeeUsage={hasRole(role, "author")}
          catalog={catalog}
          allowed={allowedHere}
          restricted={allowedHere.length < allowed.length}
          places={model.places}
          onShowNode={props.onShowNode}
        />
      )}

      {open?.kind === "add" ? (
        <AddChildDialog
          parentLabel={label}
          types={childTypes}
          catalog={catalog}
          allowed={allowedForChildren}
          initialVisibilities={allowedForChildren}
          onAdd={(c) => actions.addChild(node.id, c)}
          onClose={() => setOpen(null)}
        />
      ) : null}
      {open?.kind === "repository" ? (
        <AddFromRepositoryDialog
          parentLabel={label}
          types={childTypes}
          onAdd={(entity) =>
            actions.addFromRepository(node.id, entity, allowedForChildren)
          }
          onClose={() => setOpen(null)}
        />
      ) : null}
      {open?.kind === "template" ? (
        <InsertTemplateDialog
          dst={{ ...tree, nodeId: node.id }}
          dstLabel={label}
          allowedTypes={childTypes}
          catalog={catalog}
          onInsert={(templateId, toAdd) => actions.insertTemplate(templateId, node.id, toAdd)}
          onClose={() => setOpen(null)}
        />
      ) : null}
      {open?.kind === "paste" && entry ? (
        <VisibilitiesToAddDialog
          title="Paste"
          what={`“${entry.label}” (${entry.size} ${entry.size === 1 ? "node" : "nodes"}) goes below “${label}”.`}
          candidates={open.candidates}
          catalog={catalog}
          confirmLabel="Paste"
          onConfirm={finishPaste}
          onClose={() => setOpen(null)}
        />
      ) : null}
      {open?.kind === "delete" ? (
        <ConfirmDialog
          title={`Delete “${label}”?`}
          confirmLabel="Delete"
          danger
          onConfirm={async () => {
            await actions.remove(node.id);
            props.onDeleted(node.id);
          }}
          onClose={() => setOpen(null)}
        >
          <p>
            {below === 0
              ? "This deletes 1 node."
              : `This deletes ${place.subtreeSize} nodes: this ${TYPE_NAMES[node.type].toLowerCase()} and the ${below} ${below === 1 ? "node" : "nodes"} below it.`}{" "}
            Links from other nodes to {below === 0 ? "it" : "them"} are removed. The texts stay in the repository.
          </p>
        </ConfirmDialog>
      ) : null}
    </section>
  );
}
