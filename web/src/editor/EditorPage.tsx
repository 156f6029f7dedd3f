import { useEffect, useMemo, useState } from "react";
import { Link, useParams } from "react-router-dom";
import { useCatalog, useTemplates, useTree } from "../api/queries";
import type { TreeType } from "../api/types";
import { useAuth } from "../auth/AuthContext";
import { hasRole } from "../auth/roles";
import { ErrorNotice } from "../components/ErrorNotice";
import { useClipboard } from "./clipboard";
import { useDrafts } from "./drafts";
import { EditorToolbar } from "./EditorToolbar";
import { HolderBanner } from "./HolderBanner";
import { NodePanel } from "./NodePanel";
import { TreePanel } from "./TreePanel";
import { buildModel } from "./treeModel";
import { useLeaveGuard } from "./useLeaveGuard";
import { allowedVisibilities } from "./visibilities";
import { useTreeActions } from "./useTreeActions";

function parseParams(treeType: string | undefined, id: string | undefined): { treeType: TreeType; id: number } | null {
  const t = Number(treeType);
  const n = Number(id);
  if ((t !== 1 && t !== 2) || !Number.isInteger(n) || n < 0) return null;
  return { treeType: t, id: n };
}

export function EditorPage() {
  const params = useParams();
  const ref = parseParams(params.treeType, params.id);
  if (!ref) {
    return (
      <main>
        <h1>No such tree</h1>
        <p>
          This address does not name a tree. <Link to="/">Go to products and templates</Link>.
        </p>
      </main>
    );
  }
  return <Editor key={`${ref.treeType}:${ref.id}`} treeType={ref.treeType} id={ref.id} />;
}

function Editor({ treeType, id }: { treeType: TreeType; id: number }) {
  const tree = useTree(treeType, id);
  const catalog = useCatalog();
  const templates = useTemplates();
  const { identity } = useAuth();
  const clipboard = useClipboard();
  const drafts = useDrafts({ treeType, id, login: identity?.login ?? "" });
  // Coming back (after signing in again, or a reload) opens the first node with kept edits.
  const [selectedId, setSelectedId] = useState<number | null>(() => {
    const kept = Object.keys(drafts.drafts).map(Number);
    return kept.length ? Math.min(...kept) : null;
  });
  const model = useMemo(() => (tree.data ? buildModel(tree.data) : null), [tree.data]);
  const me = identity?.login ?? "";
  const doc = tree.data;
  const editable = !!doc && doc.view === "working" && doc.checkedOutBy === me && hasRole(identity?.role, "author");
  const actions = useTreeActions({ treeType, id }, model, (nodeId) => setSelectedId(nodeId));
  const leaveDialog = useLeaveGuard(drafts.count > 0, drafts.dropAll);
  // Kept edits of nodes that are gone (deleted, or the edits were undone) are dropped.
  const { drafts: kept, drop: dropDraft } = drafts;
  useEffect(() => {
    if (!model) return;
    for (const nodeId of Object.keys(kept).map(Number)) if (!model.places.has(nodeId)) dropDraft(nodeId);
  }, [model, kept, dropDraft]);
  // Changes only when a node gains or loses kept edits, not on every keystroke,
  // so the tree panel's rows are not redrawn while the user types.
  const unsavedKey = Object.keys(drafts.drafts).join(",");
  const unsaved = useMemo(() => new Set(unsavedKey ? unsavedKey.split(",").map(Number) : []), [unsavedKey]);

  const treeName = useMemo(() => {
    if (treeType === 1) return catalog.data?.products.find((p) => p.id === id)?.description ?? doc?.root.short ?? `Product ${id}`;
    return templates.data?.find((t) => t.id === id)?.name ?? doc?.root.short ?? `Template ${id}`;
  }, [treeType, id, catalog.data, templates.data, doc]);
  const allowed = allowedVisibilities(catalog.data, treeType, id, templates.data);

  if (tree.isPending) return <main><p role="status">Loading the tree…</p></main>;
  // A failed reload keeps showing the tree loaded before (with what is typed
  // in it); only a tree that never loaded gives way to the error.
  if (!doc || !model) {
    return (
      <main>
        <h1>{treeName}</h1>
        <ErrorNotice error={tree.error} title="The tree could not be opened." />
        <p>
          <Link to="/">Back to products and templates</Link>
        </p>
      </main>
    );
  }

  const selected = selectedId !== null ? model.places.get(selectedId) : undefined;
  const current = selected ?? model.places.get(doc.root.id)!;

  return (
    <main className="editor-page">
      <h1>
        {treeType === 1 ? "Product tree" : "Template"}: {treeName}
      </h1>
      <EditorToolbar
        tree={{ treeType, id }}
        treeName={treeName}
        doc={doc}
        me={me}
        role={identity?.role}
        unsavedCount={drafts.count}
        onUndone={drafts.dropAll}
        onShowNode={setSelectedId}
      />
      <HolderBanner doc={doc} me={me} role={identity?.role} tree={{ treeType, id }} />
      {tree.error ? <ErrorNotice error={tree.error} title="The tree could not be reloaded; what you see may be out of date." /> : null}
      <div className="editor">
        <TreePanel
          data={model.data}
          nodeCount={doc.nodeCount}
          selectedId={current.node.id}
          onSelect={setSelectedId}
          onMove={editable ? actions.dropMove : null}
          catalog={catalog.data?.visibilities}
          unsaved={unsaved}
          cutNodeId={
            clipboard.entry?.mode === "cut" && clipboard.entry.treeType === treeType && clipboard.entry.id === id
              ? clipboard.entry.nodeId
              : null
          }
          label={`Nodes of ${treeName}`}
        />
        <NodePanel
          key={current.node.id}
          tree={{ treeType, id }}
          place={current}
          model={model}
          topType={doc.topType}
          editable={editable}
          role={identity?.role}
          catalog={catalog.data?.visibilities ?? []}
          allowed={allowed}
          draft={drafts.drafts[current.node.id]}
          onDraft={(d) => (d ? drafts.put(current.node.id, d) : drafts.drop(current.node.id))}
          onSaved={() => drafts.drop(current.node.id)}
          onDeleted={(nodeId) => drafts.drop(nodeId)}
          onShowNode={setSelectedId}
          actions={actions}
        />
      </div>
      {leaveDialog}
    </main>
  );
}
